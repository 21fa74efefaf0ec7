// The connections of a server run that have not logged in yet, counted per client address.
//
// A peer without the password must not be able to take the host's threads and address space
// by opening connections and sending nothing. So at most MAX_PENDING_PER_ADDRESS connections
// from one address, and MAX_PENDING_TOTAL from all addresses, may be between their accept and
// their login at a time; the accept thread closes a connection beyond either cap at once,
// before a thread is started for it. Logged-in connections are not counted.
//
// pending_logins is owned by the server run and shared with its client threads. The accept
// thread counts a connection with pending_login_count; the pending_login it gets back is the
// connection's place in the count, released exactly once: by pending_login::release when the
// login succeeds, or by its destructor when the connection ends first. The table holds at
// most MAX_PENDING_TOTAL addresses, so it never grows with a flood. Any thread; the lock is
// held only to change a count.
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
    enum class verdict { counted, address_full, total_full };

    verdict count(platform::ipv4_address address);
    void release(platform::ipv4_address address);
    uint32_t total();
    uint32_t of(platform::ipv4_address address);

  private:
    struct slot {
        uint32_t address;
        uint32_t count;
    };
    slot* find(uint32_t address);

    std::mutex lock_;
    slot slots_[MAX_PENDING_TOTAL];  // the first used_ are in use, each with a count > 0
    uint32_t used_ = 0;
    uint32_t total_ = 0;
};

class pending_login {
  public:
    pending_login() = default;
    pending_login(std::shared_ptr<pending_logins> counts, platform::ipv4_address address)
        : counts_(std::move(counts)), address_(address) {}
    pending_login(pending_login&& other) noexcept = default;
    pending_login& operator=(pending_login&& other) noexcept {
        if (this != &other) {
            release();
            counts_ = std::move(other.counts_);
            address_ = other.address_;
        }
        return *this;
    }
    pending_login(const pending_login&) = delete;
    pending_login& operator=(const pending_login&) = delete;
    ~pending_login() { release(); }

    void release() {
        if (counts_)
            std::exchange(counts_, nullptr)->release(address_);
    }

  private:
    std::shared_ptr<pending_logins> counts_;
    platform::ipv4_address address_{};
};

// Counts a connection from address; on success *place holds its place in the count.
pending_logins::verdict pending_login_count(const std::shared_ptr<pending_logins>& counts,
                                            platform::ipv4_address address, pending_login* place);
