// The login cookie: a 15-bit pseudo-random value r, scaled to 16 bits as (r * 65535) / 32767.
//
// Each client thread has a generator of its own, seeded from the millisecond tick count mixed
// with a process-wide counter, so two clients accepted in the same millisecond get different
// cookies and a recorded answer cannot be replayed.
#pragma once

#include <cstdint>

struct cookie_generator {
    uint32_t state;
};

void cookie_generator_seed(cookie_generator* generator, uint32_t tick);
uint32_t cookie_generator_next15(cookie_generator* generator);  // 0 to 32767
uint16_t cookie_from_random(uint32_t random15);
