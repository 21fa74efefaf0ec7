#include <windows.h>

#include "platform/library.h"

namespace platform {

void* library_load(const char* path) {
    return LoadLibraryA(path);
}

void* library_symbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void library_free(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string library_error() {
    return "system error " + std::to_string(GetLastError());
}

bool library_is_loaded(const char* file_name) {
    return GetModuleHandleA(file_name) != nullptr;
}

}  // namespace platform
