#include <dlfcn.h>

#include "platform/library.h"

namespace platform {

void* library_load(const char* path) {
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* library_symbol(void* library, const char* name) {
    return dlsym(library, name);
}

void library_free(void* library) {
    dlclose(library);
}

std::string library_error() {
    const char* reason = dlerror();
    return reason ? reason : "unknown error";
}

bool library_is_loaded(const char*) {
    return false;
}

}  // namespace platform
