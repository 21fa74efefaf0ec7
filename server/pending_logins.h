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
//     from an address among those holding the most is refused (total_full).
// So, whatever a crowd of addresses does, an address that holds fewer waiting connections
// than the greediest one always gets a place at once: while 16 addresses hold 32 each, a 17th
// gets in; while 1500 addresses hold one each, a fresh address gets in (a place is given up
// by the oldest of them). No address ever holds more than MAX_PENDING_PER_ADDRESS, and one
// address flooding keeps nobody else out. At most MAX_PENDING_TOTAL connections wait; the
// ones displaced are told to end at once and are gone within moments (or, if the wake missed
// their receive, at their login deadline). Logged-in connections are not counted.
//
// pending_logins is owned by the server run and shared with its client threads. The accept
// thread counts a connection with pending_login_count; the pending_login it gets back is the
// connection's place, given back exactly once: by pending_login::release when the login
// succeeds, or by its destructor when the connection ends first. A place that was taken by
// another connection is already given back: release then says so, and the login must not
// go on. A client thread gives its place back before it closes its socket, so a displaced
// socket named by the table is never a handle that the system has given to a newer
// connection (only the accept thread accepts, and it ends the displaced one before it accepts
// again). Fixed tables of MAX_PENDING_TOTAL entries: nothing grows with a flood. Any thread;
// the lock is held only to change the table.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/net.h"

constexpr uint32_t MAX_PENDING_PER_ADDRESS = 32;
constexpr uint32_t MAX_PENDING_TOTAL = 512;

class pending_logins {
  public:
    enum class verdict { counted, counted_in_place_of_another, address_full, total_full };
    // A connection's place: its slot and the serial of the connection that took it.
    struct place {
        uint32_t slot = 0;
        uint64_t serial = 0;  // 0: no place
    };

    // Counts the connection of socket from address. On counted or counted_in_place_of_another
    // *counted is its place; on the second, *displaced is the socket whose place it took.
    verdict count(platform::ipv4_address address, platform::socket_handle socket, place* counted,
                  platform::socket_handle* displaced);
    // Gives the place back; false when another connection had taken it already.
    bool release(place counted);
    uint32_t total();
    uint32_t of(platform::ipv4_address address);

  private:
    static constexpr uint32_t NONE = UINT32_MAX;
    struct tally {
        uint32_t address;
        uint32_t count;  // 0: free
    };
    struct waiting {
        uint64_t serial;  // 0: free; otherwise increasing with the accept order
        platform::socket_handle socket;
        uint32_t tally;
    };
    uint32_t find_tally(uint32_t address) const;
    uint32_t free_tally() const;
    uint32_t free_waiting() const;
    uint32_t oldest_of_the_greediest() const;  // NONE unless every place is taken
    void drop(uint32_t slot);

    std::mutex lock_;
    tally tallies_[MAX_PENDING_TOTAL] = {};
    waiting waiting_[MAX_PENDING_TOTAL] = {};
    uint32_t total_ = 0;
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

    // False when another connection had taken the place; true otherwise (a place given back
    // now, or before, or never counted).
    bool release() { return !counts_ || std::exchange(counts_, nullptr)->release(place_); }

  private:
    std::shared_ptr<pending_logins> counts_;
    pending_logins::place place_;
};

// Counts the connection of socket from address; on success *place holds its place, and
// *displaced the socket of the connection it displaced, if any (else INVALID_SOCKET_HANDLE).
pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address,
                                            platform::socket_handle socket, pending_login* place,
                                            platform::socket_handle* displaced);
