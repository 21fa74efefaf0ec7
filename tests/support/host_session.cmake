# Helpers for the CMake scripts that drive the real plug-in through the reference host under
# Wine: the plug-in's registry settings, a free port, waiting for the host's output, and
# checking that output. Include it; EMULATOR must be set where the registry is written.

set(SENDREL_KEY "HKLM\\Software\\Quorvel3\\HardPlugins\\Plexador")

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

# The first Windows program in a fresh prefix starts Wine's background services, which keep
# the standard handles they inherit open for as long as the prefix runs: give them files, not
# pipes that a test reads, or reading those pipes waits for the services to end.
function(start_wine_services program)
  execute_process(COMMAND ${EMULATOR} ${program} --help OUTPUT_FILE /dev/null
                  ERROR_FILE /dev/null TIMEOUT 300)
endfunction()

# A random port of 20000 to 31999, below the systems' ranges for the local ports of outgoing
# connections (Linux from 32768, Windows from 49152), as the test client picks them: a port in
# use makes the start fail, and the test picks again.
function(random_port out)
  string(RANDOM LENGTH 6 ALPHABET 0123456789 random)
  math(EXPR port "20000 + (1${random} % 12000)")
  set(${out} ${port} PARENT_SCOPE)
endfunction()

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
# password, every address allowed, and an AccessList subkey (without it the main key is not
# read at all). Other tests in the prefix may have stored other values.
function(configure_registry port password)
  run_reg(delete "${SENDREL_KEY}\\AccessList" /f)
  run_reg(add "${SENDREL_KEY}\\AccessList" /f)
  if(NOT reg_result EQUAL 0)
    message(FATAL_ERROR "wine reg add failed (${reg_result})")
  endif()
  math(EXPR byte0 "${port} & 255")
  math(EXPR byte1 "(${port} >> 8) & 255")
  hex_byte(${byte0} b0)
  hex_byte(${byte1} b1)
  run_reg(add "${SENDREL_KEY}" /v Port /t REG_BINARY /d "${b0}${b1}0000" /f)
  run_reg(add "${SENDREL_KEY}" /v Password /t REG_SZ /d "${password}" /f)
  run_reg(add "${SENDREL_KEY}" /v AllowAll /t REG_BINARY /d 01000000 /f)
  run_reg(add "${SENDREL_KEY}" /v DisableAbuseProtection /t REG_BINARY /d 00000000 /f)
  if(NOT reg_result EQUAL 0)
    message(FATAL_ERROR "wine reg add failed (${reg_result})")
  endif()
endfunction()

# Each TEXT must occur in OUTPUT after the one before it; WHAT names the output in the failure.
function(expect_in_order what output)
  set(rest "${output}")
  foreach(text IN LISTS ARGN)
    string(FIND "${rest}" "${text}" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${what} does not show, in this order:\n  ${text}\n"
                          "${what}:\n${output}")
    endif()
    string(LENGTH "${text}" length)
    math(EXPR after "${found} + ${length}")
    string(SUBSTRING "${rest}" ${after} -1 rest)
  endforeach()
endfunction()

# The host and a driver side by side: the driver role of SCRIPT (run as
#   cmake -DROLE=driver -DPORT=... -DWORK=... <driver arguments> -P SCRIPT)
# feeds the host's standard input, and the host (run as EMULATOR HOST <host arguments>)
# writes its output to WORK/host.out. The driver waits for the host with driver_wait_for_host,
# writes its verdict, "ok" or what went wrong, with driver_verdict, and stops the host.
# Up to five random ports are tried while the server cannot listen on the one chosen, each
# written to the registry with PASSWORD first; a plug-in that never starts fails at once. Sets
# PORT and HOST_OUTPUT (carriage returns removed) in the caller's scope; fails when the driver
# found problems or the host did not end with 0.
#   run_host_session(SCRIPT PASSWORD DRIVER arguments... HOST arguments...)
function(run_host_session script password)
  cmake_parse_arguments(PARSE_ARGV 2 session "" "" "DRIVER;HOST")
  foreach(attempt RANGE 1 5)
    random_port(port)
    configure_registry(${port} ${password})
    file(REMOVE "${WORK}/host.out" "${WORK}/status.txt")
    execute_process(COMMAND ${CMAKE_COMMAND} -DROLE=driver -DPORT=${port} -DWORK=${WORK}
                            ${session_DRIVER} -P ${script}
                    COMMAND ${EMULATOR} ${session_HOST}
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
    list(GET results 1 host_result)
    if(NOT status STREQUAL "ok" OR NOT host_result EQUAL 0)
      message(FATAL_ERROR "${status}\nresults (driver, host): ${results}\nhost output:\n${output}")
    endif()
    set(PORT ${port} PARENT_SCOPE)
    set(HOST_OUTPUT "${output}" PARENT_SCOPE)
    return()
  endforeach()
  message(FATAL_ERROR "the server could not listen on any of five random ports; the last "
                      "attempt's host output:\n${output}")
endfunction()

# In the driver: waits until the host listens on PORT and sets OUT to TRUE. When the server
# could not listen (most likely another program holds the port), asks run_host_session for
# another port; when the plug-in did not start at all (the host failed, or said nothing for
# minutes), gives that as the verdict. Either way OUT is FALSE and the driver ends.
function(driver_wait_for_host out)
  wait_for_text("${WORK}/host.out" "listening on port|reference_host: " 300 up)
  file(READ "${WORK}/host.out" text)
  set(${out} FALSE PARENT_SCOPE)
  if(text MATCHES "listening on port ${PORT}[\r\n]")
    set(${out} TRUE PARENT_SCOPE)
    return()
  elseif(text MATCHES "qvl_start failed")
    file(WRITE "${WORK}/status.txt" "retry")
  else()
    driver_verdict("the plug-in did not start on port ${PORT}")
  endif()
  driver_stop_host()
endfunction()

# In the driver: the verdict from the problems found (none: "ok").
function(driver_verdict problems)
  if(problems)
    file(WRITE "${WORK}/status.txt" "fail\n${problems}")
  else()
    file(WRITE "${WORK}/status.txt" "ok")
  endif()
endfunction()

# In the driver: the line that stops the host, on the driver's output, the host's input.
function(driver_stop_host)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo stop)
endfunction()
