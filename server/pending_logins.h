// The connections of a server run that have not logged in yet, each with its address.
//
// A peer without the password must not be able to take the host's threads and address space
// by opening connections and sending nothing, nor to keep everybody else out by doing so from
// many addresses at once. The rules, decided when the accept thread counts a connection:
//   - at most MAX_PENDING_PER_ADDRESS connections from one address wait for their login at a
//     time; a connection beyond that is refused (address_full);
//   - at most MAX_PENDING_TOTAL connections from all addresses wait at a time. When all places
//     are taken, a connection from an address that holds fewer waiting connections than the
//     address holding the most takes the place of that address's oldest waiting connection
//     (counted_in_place_of_another: the caller ends the displaced connection); when several
//     addresses hold the most, the oldest of all their connections gives way. A connection
//     from an address among those holding the most is refused (total_full), and so is one that
//     may only take a free place (may_displace false) when there is none.
//   - a displaced connection no longer counts for its address, but it keeps a place of its
//     own among at most MAX_PENDING_ENDING being ended, until its thread has let its socket
//     go: whatever the wake that ends it misses, the threads of connections that have not
//     logged in never number more than MAX_PENDING_TOTAL + MAX_PENDING_ENDING. While all of
//     those are taken, only a connection that has no thread yet is displaced (the accept
//     thread takes in every connection that is waiting to be accepted before it starts their
//     threads, and closes one displaced among them at once, which costs no place for those
//     being ended); when there is none, nobody is displaced (total_full).
// So, whatever a crowd of addresses does, an address that holds fewer waiting connections
// than the greediest one gets a place at once as soon as the connections it displaced before
// have gone: while 16 addresses hold 32 each, a 17th gets in; while 1500 addresses hold one
// each, a fresh address gets in (a place is given up by the oldest of them). No address ever
// holds more than MAX_PENDING_PER_ADDRESS, and one address flooding keeps nobody else out.
// Logged-in connections are not counted.
//
// Connections are named by the connection_id the accept thread gives each one (never by
// socket number, which the system hands out again as soon as a socket is closed).
//
// pending_logins is owned by the server run and shared with its client threads. The accept
// thread counts a connection with pending_login_count; the pending_login it gets back is the
// connection's place, given back exactly once: by pending_login::log_in when the login
// succeeds, or by its destructor when the connection has ended (after its socket is closed).
// A place that another connection took is not the login's to use: log_in then says so, and
// the login must not go on; given_way tells the conversation so before it judges an answer.
// Fixed tables: nothing grows with a flood. Any thread; the lock is held only to change the
// table.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/net.h"
#include "server/connection_id.h"

constexpr uint32_t MAX_PENDING_PER_ADDRESS = 32;
constexpr uint32_t MAX_PENDING_TOTAL = 512;
constexpr uint32_t MAX_PENDING_ENDING = 64;

class pending_logins {
  public:
    enum class verdict { counted, counted_in_place_of_another, address_full, total_full };
    // A connection's place: its slot and the serial of the connection that took it.
    struct place {
        uint32_t slot = 0;
        uint64_t serial = 0;  // 0: no place
    };

    // Counts the connection from address. On counted or counted_in_place_of_another *counted
    // is its place; on the second, *displaced is the connection whose place it took.
    // Connections from unstarted_from on have no thread yet (NO_CONNECTION: every one has).
    verdict count(platform::ipv4_address address, connection_id connection, bool may_displace,
                  connection_id unstarted_from, place* counted, connection_id* displaced);
    // The login of the place's connection succeeded: true, and the place is given back,
    // unless another connection took it (false; the place is kept until settle(false)).
    // settle(false): the connection has gone, whatever its place was.
    bool settle(place counted, bool logged_in);
    bool given_way(place counted);
    uint32_t total();   // waiting, not counting those being ended
    uint32_t ending();  // displaced, their threads not yet gone
    uint32_t of(platform::ipv4_address address);

  private:
    static constexpr uint32_t NONE = UINT32_MAX;
    // One more than both: a connection without a thread may give way while every place for
    // those being ended is taken, until its caller closes it.
    static constexpr uint32_t SLOTS = MAX_PENDING_TOTAL + MAX_PENDING_ENDING + 1;
    struct tally {
        uint32_t address;
        uint32_t count;  // 0: free
    };
    struct waiting {
        uint64_t serial;  // 0: free; otherwise increasing with the accept order
        connection_id connection;
        uint32_t tally;  // NONE once displaced: it is being ended
    };
    uint32_t find_tally(uint32_t address) const;
    uint32_t free_tally() const;
    uint32_t free_slot() const;
    // Among the waiting connections from `from` on.
    uint32_t oldest_of_the_greediest(connection_id from) const;
    bool holds(place counted) const;

    std::mutex lock_;
    tally tallies_[MAX_PENDING_TOTAL] = {};
    waiting slots_[SLOTS] = {};
    uint32_t total_ = 0;
    uint32_t ending_ = 0;
    uint64_t next_serial_ = 1;
};

class pending_login {
  public:
    pending_login() = default;
    pending_login(std::shared_ptr<pending_logins> counts, pending_logins::place counted)
        : counts_(std::move(counts)), place_(counted) {}
    pending_login(pending_login&& other) noexcept = default;
    pending_login& operator=(pending_login&& other) noexcept {
        if (this != &other) {
            release();
            counts_ = std::move(other.counts_);
            place_ = other.place_;
        }
        return *this;
    }
    pending_login(const pending_login&) = delete;
    pending_login& operator=(const pending_login&) = delete;
    ~pending_login() { release(); }

    // The login succeeded: false when another connection had taken the place (which is then
    // kept until the connection is gone); true otherwise, the place given back, or never
    // counted.
    bool log_in() {
        if (!counts_)
            return true;
        if (!counts_->settle(place_, true))
            return false;
        counts_.reset();
        return true;
    }
    bool given_way() const { return counts_ && counts_->given_way(place_); }
    void release() {
        if (counts_)
            std::exchange(counts_, nullptr)->settle(place_, false);
    }

  private:
    std::shared_ptr<pending_logins> counts_;
    pending_logins::place place_;
};

// Counts the connection from address; on success *place holds its place, and *displaced the
// connection it displaced, if any (else NO_CONNECTION).
pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address,
                                            connection_id connection, bool may_displace,
                                            connection_id unstarted_from, pending_login* place,
                                            connection_id* displaced);
