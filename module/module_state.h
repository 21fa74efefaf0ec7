// Module-wide state that belongs to no single subsystem.
//
// module_instance: the module's own handle, stored once by the process-attach hook and read
// by the dialogs; null in programs that link the plug-in statically.
#pragma once

constexpr int DEVICE_NUMBER = 203;  // the number the host files this plug-in's events under

void module_instance_store(void* instance);
void* module_instance();
