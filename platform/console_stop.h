// The user's request to stop a console program: Ctrl+C, Ctrl+Break or closing the console
// window on Windows (SetConsoleCtrlHandler), SIGINT or SIGTERM natively. For programs that
// play host and end cleanly on such a request.
//
// console_stop_install makes every later request set *requested, and nothing else (a signal
// handler may do no more); the program polls the flag. Call it once, from the main thread;
// the flag must live as long as the process.
#pragma once

#include <atomic>

namespace platform {

bool console_stop_install(std::atomic<bool>* requested);

}  // namespace platform
