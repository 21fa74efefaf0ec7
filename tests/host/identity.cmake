# The identity answers of the real plug-in file, asked through the reference host exactly as
# the host application asks them (the DLL under Wine in the Windows build).
#   cmake -DHOST=... -DPLUGIN=... [-DEMULATOR=...] -P identity.cmake
if(EMULATOR)
  # The first Windows program in a fresh prefix starts Wine's background services, which keep
  # the standard handles they inherit open for as long as the prefix runs: give them files,
  # not the pipes read below, or reading those pipes waits for the services to end.
  execute_process(COMMAND ${EMULATOR} ${HOST} --help OUTPUT_FILE /dev/null ERROR_FILE /dev/null
                  TIMEOUT 300)
endif()
execute_process(COMMAND ${EMULATOR} ${HOST} identity ${PLUGIN}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors
                TIMEOUT 300)
# Windows programs end their lines with a carriage return as well.
string(REPLACE "\r" "" output "${output}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "reference_host identity failed (${result}):\n${output}\n${errors}")
endif()

string(REPEAT "aa" 256 untouched_256)
set(expected
    # 'Sendrel' and three zero bytes; the byte after the buffer untouched.
    "name.10 53656e6472656c000000"
    "name.10.guard aa"
    # A buffer shorter than the name gets 'Send' without a terminator, and nothing beyond.
    "name.4 53656e64"
    "name.4.guard aa"
    # Only the low 8 bits of the size count: 256 writes nothing.
    "name.256 ${untouched_256}"
    "name.256.guard aa"
    "description \"Sendrel, written by Tovrik\" rest=zero"
    "version \"2.0b\" rest=zero"
    "devicenum 203"
    "requested_api 1"
    # Event texts compare case-sensitively.
    "compare.abc.ABC 0"
    "compare.abc.abc 1"
    # A record whose size field is not 112 is refused.
    "open.111 0"
    "open.113 0")

set(failures "")
foreach(line IN LISTS expected)
  string(FIND "\n${output}" "\n${line}\n" found)
  if(found EQUAL -1)
    string(APPEND failures "  missing: ${line}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "identity answers differ:\n${failures}output was:\n${output}${errors}")
endif()
