#include "server/cookie_generator.h"

#include <atomic>

#include "platform/random.h"
#include "platform/tick.h"
#include "server/trace.h"

namespace {

std::atomic<uint32_t> g_seed_counter{0};

// The fallback's one draw: a 32-bit linear congruence, bits 16 to 30 out, from a seed that
// the golden-ratio step spreads over the whole seed space for consecutive serials.
uint32_t seeded_random15() {
    uint32_t serial = g_seed_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    uint32_t state = platform::tick_count() ^ (serial * 0x9E3779B9u);
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFFu;
}

uint16_t cookie_from_random(uint32_t random15) {
    return static_cast<uint16_t>((random15 * 65535u) / 32767u);
}

}  // namespace

uint16_t login_cookie() {
    uint16_t random = 0;
    if (platform::random_bytes(&random, sizeof random))
        return cookie_from_random(random & 0x7FFFu);
    trace("Random source failed: cookie from the seeded generator", 0);
    return cookie_from_random(seeded_random15());
}
