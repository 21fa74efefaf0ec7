#include "server/socket_library_use.h"

#include <new>

#include "platform/net.h"

socket_library_use::~socket_library_use() {
    platform::net_cleanup();
}

socket_library_ref socket_library_use::start(uint16_t wanted_version, uint16_t* granted_version) {
    if (!platform::net_startup(wanted_version, granted_version))
        return nullptr;
    auto* use = new (std::nothrow) socket_library_use;
    if (!use) {
        platform::net_cleanup();
        return nullptr;
    }
    try {
        return socket_library_ref(use);
    } catch (const std::bad_alloc&) {
        return nullptr;  // the failed shared_ptr has deleted the use, which ended it
    }
}
