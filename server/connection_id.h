// What names one accepted connection of a server run: a serial the accept thread gives in
// accept order, never used twice in a run. Tables name connections by it rather than by
// socket number, which the system gives to a newer socket as soon as the old one is closed.
#pragma once

#include <cstdint>

using connection_id = uint64_t;
constexpr connection_id NO_CONNECTION = 0;
