// Loading a module by path, as the host loads the plug-in: LoadLibraryA/GetProcAddress/
// FreeLibrary on Windows, dlopen/dlsym/dlclose natively. For tools and tests that play host.
// library_load returns null on failure (library_error() then says why).
#pragma once

#include <string>

namespace platform {

void* library_load(const char* path);
void* library_symbol(void* library, const char* name);
void library_free(void* library);
std::string library_error();
// True while a module of that file name is loaded in this process (Windows only; natively
// always false).
bool library_is_loaded(const char* file_name);

}  // namespace platform
