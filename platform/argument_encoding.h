// A command-line client's arguments as the bytes of a text encoding the user names, so that
// the password and event texts it sends are the bytes the server compares with what the host
// learned (the server compares bytes and knows nothing of encodings).
//
// Windows: the arguments are taken as the system hands them to the program (UTF-16) and
// written in a code page: "utf-8", "cpNNN" or "windows-NNN", "iso-8859-N", "latin1", "ascii",
// or "mbcs" for the ANSI code page. A character the code page has no exact byte for cannot be
// written (no look-alike substitutes, no question marks). Natively: the arguments are bytes in the
// locale's encoding (UTF-8 under the C locale), and any name the system's converter knows may be
// asked for; in the locale's own encoding the bytes stay exactly as given.
//
// Main thread; the texts returned are the caller's.
#pragma once

#include <string>

namespace platform {

// What a client sends when the user names no encoding: the name of the ANSI code page on
// Windows ("cp1252" in Western Europe), "utf-8" natively.
std::string default_argument_encoding();

enum class encoding_result { written, not_writable, unknown_encoding };

// Argument index of argv (whose text is given as argument) in the named encoding, to *bytes.
// An index below 0 stands for a text that is not an argument (a default), given in the ANSI
// code page on Windows, the locale's encoding natively.
encoding_result encode_argument(int index, const char* argument, const char* encoding,
                                std::string* bytes);

}  // namespace platform
