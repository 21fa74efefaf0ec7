// The four persisted settings, module-wide.
//
// Client threads read them at every connection while the host thread loads them and the
// settings dialog's thread applies new values, so each is safe to read and replace from any
// thread: the three numbers are atomic, and the password is replaced whole under a small
// lock of its own that is held only to copy or swap the text. A reader gets its own copy and
// never meets a released text.
//
// Defaults from load: allow_all 1, disable_abuse_protection 0, port 1024, and no password
// text until the settings are first loaded (settings_password_copy then returns false).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr int TEXT_FIELD_MAX = 200;  // bytes of a dialog or registry text, terminator included
constexpr const char* DEFAULT_PASSWORD = "ChgThisPw";
constexpr int32_t DEFAULT_PORT = 1024;

struct settings_values {
    std::atomic<int32_t> allow_all{1};
    std::atomic<int32_t> disable_abuse_protection{0};
    std::atomic<int32_t> port{DEFAULT_PORT};
};

extern settings_values settings;

// Copies the current password into out; false while there is none, or when the copy cannot
// be made (then out may hold anything). *generation, when asked for, is the password's
// generation that the copy belongs to. Never throws.
bool settings_password_copy(std::string* out, uint32_t* generation = nullptr);
// Replaces the password by a copy of text. When the copy cannot be made, the password stays
// as it was and the result is false. Never throws.
bool settings_password_set(const char* text);
bool settings_password_set(const std::string& text);
// Changes whenever the password in force changes (a text set that equals the one in force is
// no change), by whatever path: what was learned under one password is compared with it.
uint32_t settings_password_generation();
// Tests can make the copy fail: the next `count` replacements find no memory.
void settings_password_fail_next_sets(int count);
// Drops the password text: the state before the first load. For tests.
void settings_password_forget();
