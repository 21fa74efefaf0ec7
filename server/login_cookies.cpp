#include "server/login_cookies.h"

#include <atomic>
#include <mutex>

#include "platform/random.h"
#include "platform/tick.h"
#include "server/trace.h"

namespace {

constexpr uint32_t WORD_BITS = 64;
constexpr uint32_t WORDS = COOKIE_VALUES / WORD_BITS;

// r values, one bit each. used and held never share a bit that a draw could reach: a draw
// takes only a value in neither.
struct ledger {
    std::mutex lock;
    uint64_t used[WORDS] = {};
    uint64_t held[WORDS] = {};
    uint32_t taken = 0;  // values in used or held
    // The used values, oldest first from first, as a ring.
    uint16_t order[USED_COOKIES_REMEMBERED] = {};
    uint32_t first = 0;
    uint32_t count = 0;
};

ledger g_ledger;

bool bit(const uint64_t* set, uint32_t r) {
    return (set[r / WORD_BITS] >> (r % WORD_BITS)) & 1u;
}
void put(uint64_t* set, uint32_t r, bool on) {
    uint64_t mask = uint64_t{1} << (r % WORD_BITS);
    set[r / WORD_BITS] = on ? set[r / WORD_BITS] | mask : set[r / WORD_BITS] & ~mask;
}
bool taken(uint32_t r) {
    return bit(g_ledger.used, r) || bit(g_ledger.held, r);
}

// Sets or clears r in one set, keeping the count of values taken by either.
void mark(uint64_t* set, uint32_t r, bool on) {
    bool before = taken(r);
    put(set, r, on);
    bool after = taken(r);
    if (before != after)
        g_ledger.taken = after ? g_ledger.taken + 1 : g_ledger.taken - 1;
}

// r becomes the newest used value; the oldest is forgotten when the memory is full.
void note_used(uint32_t r) {
    if (bit(g_ledger.used, r))
        return;
    if (g_ledger.count == USED_COOKIES_REMEMBERED) {
        mark(g_ledger.used, g_ledger.order[g_ledger.first], false);
        g_ledger.first = (g_ledger.first + 1) % USED_COOKIES_REMEMBERED;
        --g_ledger.count;
    }
    g_ledger.order[(g_ledger.first + g_ledger.count++) % USED_COOKIES_REMEMBERED] =
        static_cast<uint16_t>(r);
    mark(g_ledger.used, r, true);
}

// The index-th value (from 0) that is neither used nor held; index < the number of them.
uint32_t nth_free(uint64_t index) {
    for (uint32_t word = 0; word < WORDS; ++word) {
        uint64_t free_bits = ~(g_ledger.used[word] | g_ledger.held[word]);
        uint32_t here = static_cast<uint32_t>(__builtin_popcountll(free_bits));
        if (index >= here) {
            index -= here;
            continue;
        }
        for (; index > 0; --index)
            free_bits &= free_bits - 1;  // drops the lowest free value
        return word * WORD_BITS + static_cast<uint32_t>(__builtin_ctzll(free_bits));
    }
    return 0;  // not reached while index is in range
}

std::atomic<uint32_t> g_seed_counter{0};

// The fallback's draw: a 32-bit linear congruence from a seed that the golden-ratio step
// spreads over the whole seed space for consecutive serials, so two draws of one millisecond
// differ.
uint64_t seeded_random() {
    uint32_t serial = g_seed_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    uint32_t state = platform::tick_count() ^ (serial * 0x9E3779B9u);
    state = state * 214013u + 2531011u;
    return state;
}

uint16_t cookie_from_r(uint32_t r) {
    return static_cast<uint16_t>((r * 65535u) / 32767u);
}

// The r whose cookie this is, or COOKIE_VALUES when no r gives it.
uint32_t r_from_cookie(uint16_t cookie) {
    uint32_t r = cookie == 65535 ? COOKIE_VALUES - 1 : cookie / 2u;
    return cookie_from_r(r) == cookie ? r : COOKIE_VALUES;
}

}  // namespace

held_cookie::held_cookie() {
    // 64 random bits for a choice among at most 32768: the bias of the remainder is below
    // one in 2^49.
    uint64_t random = 0;
    if (!platform::random_bytes(&random, sizeof random)) {
        trace("Random source failed: cookie from the seeded generator", 0);
        random = seeded_random();
    }
    {
        std::lock_guard<std::mutex> hold(g_ledger.lock);
        // At most USED_COOKIES_REMEMBERED are used, and far fewer held than connections can
        // wait for their login: half the values at least are free. Were none, the cookie would
        // still be drawn, from all of them, rather than none sent.
        uint32_t free_values = COOKIE_VALUES - g_ledger.taken;
        if (free_values == 0) {
            r_ = static_cast<uint16_t>(random % COOKIE_VALUES);
            held_ = false;
        } else {
            r_ = static_cast<uint16_t>(nth_free(random % free_values));
            mark(g_ledger.held, r_, true);
        }
    }
    cookie_ = cookie_from_r(r_);
}

void held_cookie::answered_rightly() {
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    if (held_)
        mark(g_ledger.held, r_, false);
    held_ = false;
    note_used(r_);
}

void held_cookie::release() {
    if (!held_)
        return;
    held_ = false;
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    mark(g_ledger.held, r_, false);
}

uint32_t used_cookies_export(uint16_t* out, uint32_t capacity) {
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    // The newest are the ones to keep when the room is short.
    uint32_t written = g_ledger.count < capacity ? g_ledger.count : capacity;
    uint32_t skipped = g_ledger.count - written;
    for (uint32_t i = 0; i < written; ++i)
        out[i] =
            cookie_from_r(g_ledger.order[(g_ledger.first + skipped + i) % USED_COOKIES_REMEMBERED]);
    return written;
}

bool used_cookies_restore(const uint16_t* cookies, uint32_t count) {
    if (count > USED_COOKIES_REMEMBERED)
        return false;
    uint64_t seen[WORDS] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t r = r_from_cookie(cookies[i]);
        if (r == COOKIE_VALUES || bit(seen, r))
            return false;
        put(seen, r, true);
    }
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    if (g_ledger.count == 0) {
        for (uint32_t i = 0; i < count; ++i)
            note_used(r_from_cookie(cookies[i]));
    }
    return true;
}

uint32_t login_cookies_free() {
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    return COOKIE_VALUES - g_ledger.taken;
}

void login_cookies_reset() {
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    for (uint32_t word = 0; word < WORDS; ++word)
        g_ledger.used[word] = g_ledger.held[word] = 0;
    g_ledger.taken = g_ledger.first = g_ledger.count = 0;
}
