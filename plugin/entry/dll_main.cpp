// The DLL's entry point: the process-attach hook.
#include <windows.h>

#include "module/module_state.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH)
        module_instance_store(instance);
    return TRUE;
}
