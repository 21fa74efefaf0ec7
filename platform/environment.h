// The process's environment variables, for switches that need no rebuild and no stored
// setting. Any thread; environment_set is meant for programs that play host, before they
// start the threads that read the switch.
#pragma once

namespace platform {

// True when the variable is set to a value other than "" and "0".
bool environment_flag(const char* name);
// Sets the variable for this process and the programs it starts; false if that failed.
bool environment_set(const char* name, const char* value);

}  // namespace platform
