#include "server/cookie_generator.h"

#include <atomic>

#include "platform/random.h"
#include "server/trace.h"

namespace {
std::atomic<uint32_t> g_seed_counter{0};
}

void cookie_generator_seed(cookie_generator* generator, uint32_t tick) {
    uint32_t serial = g_seed_counter.fetch_add(1, std::memory_order_relaxed) + 1;
    // The golden-ratio step spreads consecutive serials over the whole seed space.
    generator->state = tick ^ (serial * 0x9E3779B9u);
}

uint32_t cookie_generator_next15(cookie_generator* generator) {
    // The classic run-time library generator: a 32-bit linear congruence, bits 16 to 30 out.
    generator->state = generator->state * 214013u + 2531011u;
    return (generator->state >> 16) & 0x7FFFu;
}

uint16_t cookie_from_random(uint32_t random15) {
    return static_cast<uint16_t>((random15 * 65535u) / 32767u);
}

uint16_t login_cookie(cookie_generator* fallback) {
    uint16_t random = 0;
    if (platform::random_bytes(&random, sizeof random))
        return cookie_from_random(random & 0x7FFFu);
    trace("Random source failed: cookie from the seeded generator", 0);
    return cookie_from_random(cookie_generator_next15(fallback));
}
