#include "server/login_cookies.h"

#include <atomic>
#include <mutex>

#include "platform/random.h"
#include "platform/tick.h"
#include "server/trace.h"

namespace {

constexpr uint32_t WORD_BITS = 64;
constexpr uint32_t WORDS = COOKIE_VALUES / WORD_BITS;

// One bit for each r that may not be sent: used (in order, the ring) or held (counted). A
// held value is never used and the other way round, since only a value in neither is drawn, so
// the values free are those the two counts leave.
struct ledger {
    std::mutex lock;
    uint64_t taken[WORDS] = {};
    uint32_t held = 0;
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

// r, already taken, becomes the newest used value; the oldest is forgotten (free again) when
// the memory is full.
void note_used(uint32_t r) {
    if (g_ledger.count == USED_COOKIES_REMEMBERED) {
        put(g_ledger.taken, g_ledger.order[g_ledger.first], false);
        g_ledger.first = (g_ledger.first + 1) % USED_COOKIES_REMEMBERED;
        --g_ledger.count;
    }
    g_ledger.order[(g_ledger.first + g_ledger.count++) % USED_COOKIES_REMEMBERED] =
        static_cast<uint16_t>(r);
}

// The index-th value (from 0) that is neither used nor held; index < the number of them.
uint32_t nth_free(uint64_t index) {
    for (uint32_t word = 0; word < WORDS; ++word) {
        uint64_t free_bits = ~g_ledger.taken[word];
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

uint32_t free_values() {
    return COOKIE_VALUES - g_ledger.count - g_ledger.held;
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
        uint32_t free = free_values();
        if (free == 0) {
            r_ = static_cast<uint16_t>(random % COOKIE_VALUES);
            held_ = false;
        } else {
            r_ = static_cast<uint16_t>(nth_free(random % free));
            put(g_ledger.taken, r_, true);
            ++g_ledger.held;
        }
    }
    cookie_ = cookie_from_r(r_);
}

void held_cookie::answered_rightly() {
    if (!held_)
        return;
    held_ = false;
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    --g_ledger.held;
    note_used(r_);  // its bit stays taken
}

void held_cookie::release() {
    if (!held_)
        return;
    held_ = false;
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    --g_ledger.held;
    put(g_ledger.taken, r_, false);
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
    if (g_ledger.count != 0)
        return true;
    for (uint32_t i = 0; i < count; ++i) {
        // One that a late connection of an earlier run holds stays held: its own answer
        // decides.
        uint32_t r = r_from_cookie(cookies[i]);
        if (!bit(g_ledger.taken, r)) {
            put(g_ledger.taken, r, true);
            note_used(r);
        }
    }
    return true;
}

uint32_t login_cookies_free() {
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    return free_values();
}

void login_cookies_reset() {
    std::lock_guard<std::mutex> hold(g_ledger.lock);
    for (uint64_t& word : g_ledger.taken)
        word = 0;
    g_ledger.held = g_ledger.first = g_ledger.count = 0;
}
