// The listener's diagnostic hook. trace() has no effect at all in the plug-in: it writes
// nothing anywhere and keeps nothing. The texts are passed as they stand (the placeholders
// in two of them are never filled in).
//
// Tests observe the calls by installing a hook; any thread may trace.
#pragma once

#include <cstdint>

void trace(const char* message, int32_t number);

using trace_hook = void (*)(const char* message, int32_t number);
void trace_set_hook(trace_hook hook);
