// How the reference host prints a text it was handed (an event, a payload, a learned text, an
// unknown command): in double quotes, on one line, the same on every console.
//
// Well-formed UTF-8 text is printed as the text it is ("Küche"), so a user sees what a client
// on a UTF-8 system sent. Everything else is escaped: quotes and backslashes with a backslash,
// line feed, carriage return and tab as \n, \r and \t, and as \xNN every other control
// character (C0, DEL, C1) and every byte that is not part of a well-formed UTF-8 sequence (a
// cp1252 "ü" is \xfc), so bytes that are not UTF-8 stay visible and exact. Any thread.
#pragma once

#include <cstddef>
#include <string>

std::string quoted(const char* text, size_t length);
std::string quoted(const char* text);
