# The trace lines on request: the reference host with --trace runs the real plug-in under Wine;
# a client logs in and sends an event, a second one gives a wrong password, a second host
# fails to bind the same port, and the host is stopped. Each shows its trace line in the
# host's output, where the connection's own events show it belongs.
#   cmake -DHOST=... -DPLUGIN=... -DCLIENT=... -DEMULATOR=... -P trace.cmake
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../support/host_session.cmake)
set(PASSWORD "ChgThisPw")
# A connection's trace lines name its socket and the client's address.
set(ACCEPTED "Sendrel trace: Connection accepted on socket:")
set(FROM " from:127.0.0.1 (0)\n")

# ---- driver role: the two clients and a second host, then the stop ---------------------------
if(ROLE STREQUAL "driver")
  driver_wait_for_host(up)
  if(NOT up)
    return()
  endif()
  set(problems "")
  execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} "Traced event"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 120)
  if(NOT result EQUAL 0)
    string(APPEND problems "client (${result}): ${output}\n")
  endif()
  execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} --password "not it" "Lost event"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 120)
  if(NOT result EQUAL 4)
    string(APPEND problems "wrong-password client (${result}): ${output}\n")
  endif()
  # The same settings, so the same port: this host's start fails at the bind.
  execute_process(COMMAND ${EMULATOR} ${HOST} run --trace ${PLUGIN} INPUT_FILE /dev/null
                  RESULT_VARIABLE result OUTPUT_FILE "${WORK}/second_host.out"
                  ERROR_FILE "${WORK}/second_host.out" TIMEOUT 120)
  if(NOT result EQUAL 2)
    string(APPEND problems "second host on the same port ended with ${result}\n")
  endif()
  wait_for_text("${WORK}/host.out" "event \"Incorrect Password\"" 60 refused)
  driver_verdict("${problems}")
  driver_stop_host()
  return()
endif()

# ---- the test ------------------------------------------------------------------------------
foreach(var HOST PLUGIN CLIENT EMULATOR)
  if(NOT ${var})
    message(FATAL_ERROR "trace: ${var} is not set (this test runs under Wine only)")
  endif()
endforeach()
start_wine_services(${HOST})
set(WORK "${CMAKE_CURRENT_BINARY_DIR}/windows_trace")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

run_host_session(${CMAKE_CURRENT_LIST_FILE} ${PASSWORD}
                 DRIVER -DEMULATOR=${EMULATOR} -DCLIENT=${CLIENT} -DHOST=${HOST}
                        -DPLUGIN=${PLUGIN}
                 HOST ${HOST} run --trace ${PLUGIN})
expect_in_order("the host's output" "${HOST_OUTPUT}"
  "listening on port ${PORT}\n"
  "${ACCEPTED}" "${FROM}"
  "event \"Incoming connection\" payloads [\"127.0.0.1\"]\n"
  "event \"Traced event\" payloads [\"127.0.0.1\"]\n"
  "${ACCEPTED}" "${FROM}"
  "event \"Incoming connection\" payloads [\"127.0.0.1\"]\n"
  "Sendrel trace: Incorrect Password socket:" "${FROM}"
  "event \"Incorrect Password\" payloads [\"127.0.0.1\"]\n"
  "stopping\n"
  "Sendrel trace: Server Stopped (0)\n"
  "stopped\n")
# Exactly one accept line per connection, one for the wrong password, one stop line per stop.
string(REGEX MATCHALL "Sendrel trace: [^\n]*" traces "${HOST_OUTPUT}")
list(LENGTH traces count)
if(NOT count EQUAL 4)
  message(FATAL_ERROR "trace: ${count} trace lines instead of 4:\n${HOST_OUTPUT}")
endif()

# The failed bind shows the socket library's error for an address in use (WSAEADDRINUSE).
file(READ "${WORK}/second_host.out" second)
string(REPLACE "\r" "" second "${second}")
expect_in_order("the second host's output" "${second}"
  "Sendrel trace: bind() error (10048)\n" "qvl_start failed")
