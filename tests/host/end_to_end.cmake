# End to end through the real plug-in file: the reference host loads it and runs its server on
# a port written to the registry, the command-line client logs in and sends events, and the
# host's output must show them as the host application would receive them.
#   cmake -DHOST=... -DPLUGIN=... -DCLIENT=... -DEMULATOR=... -P end_to_end.cmake
#
# The plug-in takes its port only from the registry, which is real under Wine and an empty
# in-memory store natively (fixed at the default port), so this runs in the Windows build only:
# it is registered there alone, and fails rather than passes when run without an emulator.
#
# One script, three roles. The test itself (no ROLE) runs the host with its standard input fed
# by the driver role: execute_process runs a pipeline's commands side by side, and the host
# stops when the driver writes "stop" or ends. The driver runs the clients one after another;
# the stopper role, at the end of a second pipeline beside a client that stays connected,
# writes the "stop" line once that client is logged in, so the client sees the close notice.

cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../support/host_session.cmake)
set(PASSWORD "ChgThisPw")

# Runs the client under the emulator; sets <prefix>_result and <prefix>_output (both streams).
function(run_client prefix)
  execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
                  TIMEOUT 120)
  string(REPLACE "\r" "" output "${output}${errors}")
  set(${prefix}_result "${result}" PARENT_SCOPE)
  set(${prefix}_output "${output}" PARENT_SCOPE)
endfunction()

# ---- stopper role: once the staying client's event is in, ask the host to stop ---------------
if(ROLE STREQUAL "stopper")
  wait_for_text("${WORK}/host.out" "event \"Held event\"" 120 held)
  # Always stop, so that nothing waits for ever when the client never got in.
  driver_stop_host()
  return()
endif()

# ---- driver role: the clients, in order; the verdict goes to status.txt ----------------------
if(ROLE STREQUAL "driver")
  driver_wait_for_host(up)
  if(NOT up)
    return()
  endif()
  set(problems "")

  # One event with two payloads; the client waits for the server to close, so by then the
  # host has printed the event.
  run_client(event --payload one --payload "two words" "Test event")
  if(NOT event_result EQUAL 0 OR NOT event_output MATCHES "sent event \"Test event\" with 2 payloads")
    string(APPEND problems "event client (${event_result}): ${event_output}\n")
  endif()
  wait_for_text("${WORK}/host.out" "event \"Disconnect\"" 60 disconnected)

  # A wrong password is told apart from every other failure.
  run_client(wrong --password "not the password" "Lost event")
  if(NOT wrong_result EQUAL 4 OR NOT wrong_output MATCHES "wrong password")
    string(APPEND problems "wrong-password client (${wrong_result}): ${wrong_output}\n")
  endif()

  # The failed login blocks this address for five seconds: the next client, started at once,
  # is not admitted. Then retry until it is admitted again; meanwhile the only acceptable
  # answer is "not admitted".
  run_client(blocked "Blocked event")
  if(NOT blocked_result EQUAL 3 OR NOT blocked_output MATCHES "not admitted")
    string(APPEND problems "client right after the wrong password (${blocked_result}): "
                           "${blocked_output}\n")
  endif()
  string(TIMESTAMP start "%s")
  while(TRUE)
    run_client(again "After the block")
    if(NOT again_result EQUAL 3)
      break()
    endif()
    string(TIMESTAMP now "%s")
    math(EXPR elapsed "${now} - ${start}")
    if(elapsed GREATER 60)
      break()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1)
  endwhile()
  if(NOT again_result EQUAL 0)
    string(APPEND problems "client after the block (${again_result}): ${again_output}\n")
  endif()

  # A client that stays connected while the host stops receives the close notice. The
  # stopper's output is this driver's, which is the host's input.
  execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} --stay --payload held "Held event"
                  COMMAND ${CMAKE_COMMAND} -DROLE=stopper -DWORK=${WORK}
                          -P ${CMAKE_CURRENT_LIST_FILE}
                  RESULTS_VARIABLE stay_results ERROR_VARIABLE stay_output TIMEOUT 300)
  string(REPLACE "\r" "" stay_output "${stay_output}")
  list(GET stay_results 0 stay_result)
  if(NOT stay_result EQUAL 5 OR NOT stay_output MATCHES "close notice")
    string(APPEND problems "staying client (${stay_result}): ${stay_output}\n")
  endif()

  driver_verdict("${problems}")
  return()
endif()

# ---- the test ------------------------------------------------------------------------------
if(NOT EMULATOR)
  message(FATAL_ERROR "end_to_end: runs in the Windows build only (natively the settings store "
                      "is in memory, out of this script's reach)")
endif()
foreach(var HOST PLUGIN CLIENT)
  if(NOT ${var})
    message(FATAL_ERROR "end_to_end: ${var} is not set")
  endif()
endforeach()

start_wine_services(${HOST})
set(WORK "${CMAKE_CURRENT_BINARY_DIR}/host_end_to_end")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

run_host_session(${CMAKE_CURRENT_LIST_FILE} ${PASSWORD}
                 DRIVER -DEMULATOR=${EMULATOR} -DCLIENT=${CLIENT}
                 HOST ${HOST} run ${PLUGIN})
set(address "payloads [\"127.0.0.1\"]")
expect_in_order("the host's output" "${HOST_OUTPUT}"
  "listening on port ${PORT}\n"
  "event \"Incoming connection\" ${address}\n"
  "event \"Accepted connection\" ${address}\n"
  "event \"Test event\" payloads [\"127.0.0.1\", \"one\", \"two words\"]\n"
  "event \"Disconnect\" ${address}\n"
  "event \"Incorrect Password\" ${address}\n"
  "event \"Blocked connection\" ${address}\n"
  "event \"After the block\" ${address}\n"
  "event \"Held event\" payloads [\"127.0.0.1\", \"held\"]\n"
  "stopping\n"
  "event \"Disconnect\" ${address}\n"
  "stopped\n")
if(HOST_OUTPUT MATCHES "Lost event|Blocked event")
  message(FATAL_ERROR "end_to_end: an event of a failed login reached the host:\n${HOST_OUTPUT}")
endif()

# The end of standard input stops the host as well (the port the session used is free again).
execute_process(COMMAND ${EMULATOR} ${HOST} run ${PLUGIN} INPUT_FILE /dev/null
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors TIMEOUT 300)
string(REPLACE "\r" "" output "${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "end_to_end: the host ended with ${result} on end of input:\n${output}")
endif()
expect_in_order("the host's output on end of input" "${output}"
                "opened \"Sendrel\" version \"2.0b\"\n" "listening on port ${PORT}\n"
                "stopping\n" "stopped\n")
