// One use of the socket library, ended when its last holder lets go.
//
// The library may release every socket still open when its last use ends, and the system then
// gives their handle values to new sockets. So a server run's use must last until the run's
// last socket is closed, not until server_stop returns: the run and each of its client threads
// hold the use, and a thread that is still draining or closing after a stop that gave up
// waiting keeps the library in use, so the socket it closes is its own and never a new run's.
#pragma once

#include <cstdint>
#include <memory>

class socket_library_use {
  public:
    socket_library_use() = default;
    socket_library_use(const socket_library_use&) = delete;
    socket_library_use& operator=(const socket_library_use&) = delete;
    ~socket_library_use();

    // Starts the library asking for wanted_version: nullptr when it does not start; otherwise
    // the use, with the version granted in *granted_version.
    static std::shared_ptr<socket_library_use> start(uint16_t wanted_version,
                                                     uint16_t* granted_version);

  private:
    bool started_ = false;
};

using socket_library_ref = std::shared_ptr<socket_library_use>;
