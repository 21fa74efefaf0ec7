# End to end through the real plug-in file: the reference host loads it and runs its server on
# a port written to the registry, the command-line client logs in and sends events, and the
# host's output must show them as the host application would receive them.
#   cmake -DHOST=... -DPLUGIN=... -DCLIENT=... -DEMULATOR=... -P end_to_end.cmake
#
# The plug-in takes its port only from the registry, which is real under Wine and an empty
# in-memory store natively (fixed at the default port), so this runs in the Windows build only.
#
# One script, three roles. The test itself (no ROLE) runs the host with its standard input fed
# by the driver role: execute_process runs a pipeline's commands side by side, and the host
# stops when the driver writes "stop" or ends. The driver runs the clients one after another;
# the stopper role, at the end of a second pipeline beside a client that stays connected,
# writes the "stop" line once that client is logged in, so the client sees the close notice.

cmake_minimum_required(VERSION 3.18)
set(KEY "HKLM\\Software\\Quorvel3\\HardPlugins\\Plexador")
set(PASSWORD "ChgThisPw")

# Waits until FILE's text matches REGEX; sets OUT to TRUE or FALSE after TIMEOUT seconds.
function(wait_for_text file regex timeout out)
  string(TIMESTAMP start "%s")
  while(TRUE)
    if(EXISTS "${file}")
      file(READ "${file}" text)
      if(text MATCHES "${regex}")
        set(${out} TRUE PARENT_SCOPE)
        return()
      endif()
    endif()
    string(TIMESTAMP now "%s")
    math(EXPR elapsed "${now} - ${start}")
    if(elapsed GREATER timeout)
      set(${out} FALSE PARENT_SCOPE)
      return()
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.2)
  endwhile()
endfunction()

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
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo stop)
  return()
endif()

# ---- driver role: the clients, in order; the verdict goes to status.txt ----------------------
if(ROLE STREQUAL "driver")
  set(status "${WORK}/status.txt")
  wait_for_text("${WORK}/host.out" "listening on port|qvl_start failed" 300 up)
  file(READ "${WORK}/host.out" text)
  if(NOT text MATCHES "listening on port ${PORT}")
    # Most likely another program holds the port: the test picks another one.
    file(WRITE "${status}" "retry")
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

  # The failed login blocks this address for a few seconds: retry until it is admitted again;
  # meanwhile the only acceptable answer is "not admitted".
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

  if(problems)
    file(WRITE "${status}" "fail\n${problems}")
  else()
    file(WRITE "${status}" "ok")
  endif()
  return()
endif()

# ---- the test ------------------------------------------------------------------------------
if(NOT EMULATOR)
  message(STATUS "end_to_end: skipped in the native build (its settings store is in memory)")
  return()
endif()
foreach(var HOST PLUGIN CLIENT)
  if(NOT ${var})
    message(FATAL_ERROR "end_to_end: ${var} is not set")
  endif()
endforeach()

# Files rather than pipes for its output: see the first Windows program below.
function(run_reg)
  execute_process(COMMAND ${EMULATOR} reg ${ARGN} RESULT_VARIABLE result
                  OUTPUT_FILE /dev/null ERROR_FILE /dev/null TIMEOUT 120)
  set(reg_result "${result}" PARENT_SCOPE)
endfunction()

# Two lowercase hex digits of a byte.
function(hex_byte value out)
  math(EXPR high "(${value} >> 4) & 15")
  math(EXPR low "${value} & 15")
  set(digits 0 1 2 3 4 5 6 7 8 9 a b c d e f)
  list(GET digits ${high} h)
  list(GET digits ${low} l)
  set(${out} "${h}${l}" PARENT_SCOPE)
endfunction()

# Settings as the plug-in stores them: the port as a 4-byte little-endian REG_BINARY, the
# default password, every address allowed, and an AccessList subkey (without it the main key
# is not read at all). Other tests in this prefix may have stored other values.
function(configure_registry port)
  run_reg(delete "${KEY}\\AccessList" /f)
  run_reg(add "${KEY}\\AccessList" /f)
  if(NOT reg_result EQUAL 0)
    message(FATAL_ERROR "end_to_end: wine reg add failed (${reg_result})")
  endif()
  math(EXPR byte0 "${port} & 255")
  math(EXPR byte1 "(${port} >> 8) & 255")
  hex_byte(${byte0} b0)
  hex_byte(${byte1} b1)
  run_reg(add "${KEY}" /v Port /t REG_BINARY /d "${b0}${b1}0000" /f)
  run_reg(add "${KEY}" /v Password /t REG_SZ /d "${PASSWORD}" /f)
  run_reg(add "${KEY}" /v AllowAll /t REG_BINARY /d 01000000 /f)
  run_reg(add "${KEY}" /v DisableAbuseProtection /t REG_BINARY /d 00000000 /f)
  if(NOT reg_result EQUAL 0)
    message(FATAL_ERROR "end_to_end: wine reg add failed (${reg_result})")
  endif()
endfunction()

# Each TEXT must occur in OUTPUT after the one before it.
function(expect_in_order output)
  set(rest "${output}")
  foreach(text IN LISTS ARGN)
    string(FIND "${rest}" "${text}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "end_to_end: the host did not print, in this order:\n  ${text}\n"
                          "host output:\n${output}")
    endif()
    string(LENGTH "${text}" length)
    math(EXPR after "${found} + ${length}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
  endforeach()
endfunction()

# The first Windows program in a fresh prefix starts Wine's background services, which keep
# the standard handles they inherit open for as long as the prefix runs: give them files, not
# the pipes read below, or reading those pipes waits for the services to end.
execute_process(COMMAND ${EMULATOR} ${HOST} --help OUTPUT_FILE /dev/null ERROR_FILE /dev/null
                TIMEOUT 300)

set(WORK "${CMAKE_CURRENT_BINARY_DIR}/host_end_to_end")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

set(done FALSE)
foreach(attempt RANGE 1 5)
  # A random port of 20000 to 59999; a port in use makes the start fail, and we pick again.
  string(RANDOM LENGTH 6 ALPHABET 0123456789 random)
  math(EXPR PORT "20000 + (1${random} % 40000)")
  configure_registry(${PORT})

  # The end of standard input stops the host.
  execute_process(COMMAND ${EMULATOR} ${HOST} run ${PLUGIN} INPUT_FILE /dev/null
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
                  TIMEOUT 300)
  string(REPLACE "\r" "" output "${output}${errors}")
  if(result EQUAL 2 AND output MATCHES "qvl_start failed")
    continue()
  endif()
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "end_to_end: the host ended with ${result} on end of input:\n${output}")
  endif()
  expect_in_order("${output}" "opened \"Sendrel\" version \"2.0b\"\n"
                  "listening on port ${PORT}\n" "stopping\n" "stopped\n")

  file(REMOVE "${WORK}/host.out" "${WORK}/status.txt")
  execute_process(COMMAND ${CMAKE_COMMAND} -DROLE=driver -DEMULATOR=${EMULATOR}
                          -DCLIENT=${CLIENT} -DPORT=${PORT} -DWORK=${WORK}
                          -P ${CMAKE_CURRENT_LIST_FILE}
                  COMMAND ${EMULATOR} ${HOST} run ${PLUGIN}
                  RESULTS_VARIABLE results OUTPUT_FILE "${WORK}/host.out"
                  ERROR_FILE "${WORK}/host.out" TIMEOUT 600)
  file(READ "${WORK}/host.out" output)
  string(REPLACE "\r" "" output "${output}")
  set(status "no verdict from the driver")
  if(EXISTS "${WORK}/status.txt")
    file(READ "${WORK}/status.txt" status)
  endif()
  if(status STREQUAL "retry")
    continue()
  endif()
  if(NOT status STREQUAL "ok")
    message(FATAL_ERROR "end_to_end: ${status}\nresults: ${results}\nhost output:\n${output}")
  endif()
  list(GET results 1 host_result)
  if(NOT host_result EQUAL 0)
    message(FATAL_ERROR "end_to_end: the host ended with ${host_result}:\n${output}")
  endif()
  set(address "payloads [\"127.0.0.1\"]")
  expect_in_order("${output}"
    "listening on port ${PORT}\n"
    "event \"Incoming connection\" ${address}\n"
    "event \"Accepted connection\" ${address}\n"
    "event \"Test event\" payloads [\"127.0.0.1\", \"one\", \"two words\"]\n"
    "event \"Disconnect\" ${address}\n"
    "event \"Incorrect Password\" ${address}\n"
    "event \"After the block\" ${address}\n"
    "event \"Held event\" payloads [\"127.0.0.1\", \"held\"]\n"
    "stopping\n"
    "event \"Disconnect\" ${address}\n"
    "stopped\n")
  if(output MATCHES "Lost event")
    message(FATAL_ERROR "end_to_end: an event of a failed login reached the host:\n${output}")
  endif()
  set(done TRUE)
  break()
endforeach()
if(NOT done)
  message(FATAL_ERROR "end_to_end: no free port found in five attempts")
endif()
