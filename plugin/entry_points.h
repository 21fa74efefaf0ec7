// The entry points the host calls, exported from the plug-in under these undecorated names.
// Integers are 32-bit. Results of 1 and 0 mean success and failure where a result is used.
#pragma once

#include <cstdint>

#include "module/calling_convention.h"

extern "C" {

// Identity: answer the host without touching the server, the settings or the dialogs.
// The three text calls copy their text into out: at most (size & 0xFF) bytes, a shorter
// text zero-filled to that size, a longer one cut there and not terminated.
QVL_EXPORT void QVL_STDCALL qvl_name(char* out, int32_t size);
QVL_EXPORT void QVL_STDCALL qvl_description(char* out, int32_t size);
QVL_EXPORT void QVL_STDCALL qvl_version(char* out, int32_t size);
QVL_EXPORT int32_t QVL_STDCALL qvl_devicenum();
QVL_EXPORT int32_t QVL_STDCALL qvl_requested_api(int32_t ignored);
QVL_EXPORT int32_t QVL_STDCALL qvl_compare(const char* first, const char* second);

// Life-cycle, on the host's threads.
QVL_EXPORT int32_t QVL_STDCALL qvl_open(int32_t ignored1, int32_t ignored2, int32_t ignored3,
                                        const void* host_record);
QVL_EXPORT int32_t QVL_STDCALL qvl_close();
QVL_EXPORT int32_t QVL_STDCALL qvl_start();
QVL_EXPORT int32_t QVL_STDCALL qvl_stop();
QVL_EXPORT int32_t QVL_STDCALL qvl_info(int32_t code, int32_t ignored1, int32_t ignored2);
// Shows the settings dialog, or brings the open one to the front, and returns at once:
// nonzero, except when an open dialog was not brought to the front.
QVL_EXPORT int32_t QVL_STDCALL qvl_config();
// Asks the user for an event string in the learn dialog, starting from current, and blocks
// until the dialog ends. 1: the confirmed text is copied into out (at most size bytes, a
// shorter text zero-filled to size, a longer one cut there and not terminated). 0: the user
// did not confirm; out is untouched.
QVL_EXPORT int32_t QVL_STDCALL qvl_learn_event(const char* current, char* out, int32_t size);
}
