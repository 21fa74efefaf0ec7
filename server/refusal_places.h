// The connections that admission refused from their address alone, while their threads tell
// the host ("Blocked connection") and close them. They never take a place among the
// connections waiting for their login (pending_logins.h), so a refused crowd displaces
// nobody's login; this count bounds their threads instead. A refused connection beyond
// MAX_REFUSING_AT_ONCE is closed at once by the accept thread, without a thread and without an
// event. Owned by the server run and shared with its client threads; any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

constexpr uint32_t MAX_REFUSING_AT_ONCE = 64;

struct refusal_places {
    std::atomic<uint32_t> used{0};
};

// One refused connection's place, given back when it is destroyed (after its socket is
// closed).
class refusal_place {
  public:
    refusal_place() = default;
    refusal_place(refusal_place&&) noexcept = default;
    refusal_place& operator=(refusal_place&& other) noexcept {
        if (this != &other) {
            release();
            places_ = std::move(other.places_);
        }
        return *this;
    }
    refusal_place(const refusal_place&) = delete;
    refusal_place& operator=(const refusal_place&) = delete;
    ~refusal_place() { release(); }

    // Takes one of the places; false when all are taken.
    bool take(const std::shared_ptr<refusal_places>& places) {
        release();
        uint32_t used = places->used.load(std::memory_order_relaxed);
        do {
            if (used >= MAX_REFUSING_AT_ONCE)
                return false;
        } while (!places->used.compare_exchange_weak(used, used + 1, std::memory_order_relaxed));
        places_ = places;
        return true;
    }
    explicit operator bool() const { return places_ != nullptr; }

  private:
    void release() {
        if (places_)
            std::exchange(places_, nullptr)->used.fetch_sub(1, std::memory_order_relaxed);
    }
    std::shared_ptr<refusal_places> places_;
};
