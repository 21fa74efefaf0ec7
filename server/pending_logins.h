// The connections of a server run that have not logged in yet, each with its address.
//
// A peer without the password must not be able to take the host's threads and address space
// by opening connections and sending nothing, nor to keep everybody else out by doing so from
// many addresses at once; and the owner, whose addresses have logged in before
// (access/known_addresses.h), must get in whatever strangers do. The rules, decided when the
// accept thread counts a connection:
//   - at most MAX_PENDING_PER_ADDRESS connections from one address wait for their login at a
//     time; a connection beyond that is refused (address_full), a known address's included;
//   - at most MAX_PENDING_TOTAL connections wait at a time, and MAX_PENDING_KNOWN_RESERVE more
//     from known addresses alone, MAX_KNOWN_RESERVE_PER_ADDRESS of them from any one address
//     (which known addresses are follows the password: after a change of it, none, whatever
//     the table says of those already waiting). When the places are taken, a newcomer takes the
//     place of the oldest waiting connection of the unknown address that holds the most (several
//     holding the most: the oldest of all their connections gives way; counted_in_place_of_another,
//     the caller ends the displaced connection). A newcomer from an unknown address does so
//     only while it holds fewer than that address; a known one whenever it holds fewer than
//     its share. A connection from a known address is never displaced: a crowd cannot use
//     this, because an address becomes known only by logging in with the password, and is
//     forgotten by its first failed login. Without anyone to displace: total_full.
//   - a counted connection gets its thread only while fewer than MAX_PENDING_THREADS threads
//     of connections that have not logged in run (MAX_PENDING_KNOWN_RESERVE more for known
//     addresses, MAX_KNOWN_RESERVE_PER_ADDRESS of them for any one): start_thread. Until then it
//     waits without one, counted and holding its place, and the accept thread keeps its socket; one
//     displaced while it has no thread is closed at once and costs nothing. A displaced connection
//     with a thread no longer counts for its address or among the waiting, but its thread counts
//     until it has let its socket go, whatever the host does in its handlers meanwhile. So those
//     threads never number more than MAX_PENDING_THREADS + MAX_PENDING_KNOWN_RESERVE, and yet no
//     newcomer is refused for want of a thread: it waits for one, and a known address has threads
//     of its own. Once every thread is spoken for (those waiting and those being ended number
//     MAX_PENDING_THREADS), the oldest of the greediest among those without a thread gives way
//     first: a crowd queued behind displaced connections that the host holds gives way within
//     itself, and the last of it gets the next thread.
// So whatever a crowd of unknown addresses does, a known address keeps its way in; an unknown
// address that holds fewer waiting connections than the greediest gets a place at once (while
// 16 addresses hold 32 each, a 17th gets in; while 1500 addresses hold one each, a fresh one
// gets in, in place of the oldest of them). Logged-in connections are not counted.
//
// Connections are named by the connection_id the accept thread gives each one (never by
// socket number, which the system hands out again as soon as a socket is closed).
//
// pending_logins is owned by the server run and shared with its client threads. The accept
// thread counts a connection with pending_login_count; the pending_login it gets back is the
// connection's place, given back exactly once: by pending_login::log_in when the login
// succeeds, by stop_waiting when admission refuses the connection after a look-up (its thread
// still counts until it has gone), or by its destructor when the connection has ended (after
// its socket is closed). A place that another connection took is not the login's to use:
// log_in then says so, and the login must not go on; given_way tells the conversation so
// before it judges an answer. Fixed tables: nothing grows with a flood. Any thread; the lock
// is held only to change the table.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/net.h"
#include "server/connection_id.h"

constexpr uint32_t MAX_PENDING_PER_ADDRESS = 32;
constexpr uint32_t MAX_PENDING_TOTAL = 512;
constexpr uint32_t MAX_PENDING_KNOWN_RESERVE = 32;
// Of the known reserve's places, and of its threads, one address may hold this many: one
// known neighbour must not take what the owner needs.
constexpr uint32_t MAX_KNOWN_RESERVE_PER_ADDRESS = 8;
constexpr uint32_t MAX_PENDING_WAITING = MAX_PENDING_TOTAL + MAX_PENDING_KNOWN_RESERVE;
// Threads for those waiting, and beyond them for those being ended.
constexpr uint32_t MAX_PENDING_ENDING = 64;
constexpr uint32_t MAX_PENDING_THREADS = MAX_PENDING_TOTAL + MAX_PENDING_ENDING;

class pending_logins {
  public:
    enum class verdict { counted, counted_in_place_of_another, address_full, total_full };
    // A connection's place: its slot and the serial of the connection that took it.
    struct place {
        uint32_t slot = 0;
        uint64_t serial = 0;  // 0: no place
    };
    // The connection whose place a newcomer took: one without a thread is the caller's to
    // close at once; one with a thread is being ended.
    struct displacement {
        connection_id connection = NO_CONNECTION;
        bool had_thread = false;
    };

    // Counts the connection from address, which has no thread yet. On counted or
    // counted_in_place_of_another *counted is its place; on the second, *displaced tells
    // whose place it took.
    verdict count(platform::ipv4_address address, connection_id connection, place* counted,
                  displacement* displaced);
    // The place's connection may start its thread: true, and the thread counts until the
    // connection has gone or logged in; false while the threads are all taken (or the place
    // is no longer its own).
    bool start_thread(place counted);
    // The login of the place's connection succeeded, proving the password of the given
    // generation: true, and the place is given back, unless another connection took it
    // (false; the place is kept until settle(false)). Its address's other waiting
    // connections are known from now on, if that password is still in force.
    // settle(false): the connection has gone, whatever its place was.
    bool settle(place counted, bool logged_in, uint32_t generation = 0);
    // The connection will not log in (admission refused it): its place is given back, its
    // thread counted as one being ended until settle(false).
    void stop_waiting(place counted);
    // The place's connection failed its login: its address's waiting connections are known no
    // more.
    void forget_known(place counted);
    bool given_way(place counted);
    uint32_t total();    // waiting, not counting those being ended
    uint32_t ending();   // displaced, their threads not yet gone
    uint32_t threads();  // of those waiting and those being ended
    uint32_t of(platform::ipv4_address address);

  private:
    static constexpr uint32_t NONE = UINT32_MAX;
    // Those being ended all have threads.
    static constexpr uint32_t SLOTS =
        MAX_PENDING_WAITING + MAX_PENDING_THREADS + MAX_PENDING_KNOWN_RESERVE;
    struct tally {
        uint32_t address;
        uint32_t count;  // 0: free
        bool known;      // as the known addresses said at its latest arrival or failure
        // Of its waiting connections, those in the known reserve's places and threads.
        uint32_t reserve_places;
        uint32_t reserve_threads;
    };
    struct waiting {
        uint64_t serial;  // 0: free; otherwise increasing with the accept order
        connection_id connection;
        uint32_t tally;  // NONE once it waits no more: it is being ended
        bool has_thread;
        bool reserve_place;
        bool reserve_thread;
    };
    uint32_t find_tally(uint32_t address) const;
    uint32_t free_tally() const;
    uint32_t free_slot() const;
    uint32_t oldest_of_the_greediest_unknown(bool without_thread) const;
    // slot, if a newcomer from a known or unknown address holding held may take its place.
    uint32_t displaceable(uint32_t slot, bool known, uint32_t held) const;
    bool holds(place counted) const;
    // The slot's connection waits no more: its address's counts go down.
    void leave_tally(waiting& each);
    void stop_waiting_at(uint32_t slot);
    // Under the lock: after a change of the password nobody waiting is known.
    void follow_password(uint32_t generation);

    std::mutex lock_;
    tally tallies_[MAX_PENDING_WAITING] = {};
    waiting slots_[SLOTS] = {};
    uint32_t total_ = 0;
    uint32_t ending_ = 0;
    uint32_t threads_ = 0;
    uint64_t next_serial_ = 1;
    uint32_t known_generation_ = 0;  // of the password the known flags were taken under
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

    // True when the connection may start its thread now (or was never counted).
    bool start_thread() { return !counts_ || counts_->start_thread(place_); }
    // The login succeeded, with the password of that generation: false when another
    // connection had taken the place (which is then
    // kept until the connection is gone); true otherwise, the place given back, or never
    // counted.
    bool log_in(uint32_t generation) {
        if (!counts_)
            return true;
        if (!counts_->settle(place_, true, generation))
            return false;
        counts_.reset();
        return true;
    }
    void stop_waiting() {
        if (counts_)
            counts_->stop_waiting(place_);
    }
    void forget_known() {
        if (counts_)
            counts_->forget_known(place_);
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

// Counts the connection from address; on success *place holds its place, and *displaced
// whose place it took, if anyone's (else NO_CONNECTION).
pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address,
                                            connection_id connection, pending_login* place,
                                            pending_logins::displacement* displaced);
