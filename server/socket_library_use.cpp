#include "server/socket_library_use.h"

#include "platform/net.h"
#include "server/make_shared_nothrow.h"

socket_library_use::~socket_library_use() {
    if (started_)
        platform::net_cleanup();
}

socket_library_ref socket_library_use::start(uint16_t wanted_version, uint16_t* granted_version) {
    // Made first, so that a use that has started is always ended by its owner.
    socket_library_ref use = make_shared_nothrow<socket_library_use>();
    if (!use || !platform::net_startup(wanted_version, granted_version))
        return nullptr;
    use->started_ = true;
    return use;
}
