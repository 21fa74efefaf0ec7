# The release package as a Windows user gets it: made by CPack, unpacked into a fresh folder,
# it holds the plug-in, both clients, the MQTT bridge, the web service, the Node-RED package's
# tarball (with what its package.json ships), the guide, the licence and every screenshot of
# docs/screenshots, and nothing else; both binaries import Windows system DLLs only and carry a
# version resource that agrees with qvl_version; and the unpacked DLL, loaded by the reference
# host, serves an event that the unpacked client sends, with no trace lines unless they are
# asked for.
#   cmake -DCPACK=... -DCPACK_CONFIG=... -DSOURCE_DIR=... -DOBJDUMP=... -DHOST=...
#         -DEMULATOR=... -P package.cmake
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../support/host_session.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/../build_checks/windows_imports.cmake)
set(PASSWORD "ChgThisPw")

# ---- driver role: the packaged client, then the stop ------------------------------------------
if(ROLE STREQUAL "driver")
  driver_wait_for_host(up)
  if(NOT up)
    return()
  endif()
  execute_process(COMMAND ${EMULATOR} ${CLIENT} --port ${PORT} --password ${PASSWORD}
                          -p "from the package" "Package event"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 120)
  wait_for_text("${WORK}/host.out" "event \"Disconnect\"" 60 disconnected)
  if(result EQUAL 0)
    driver_verdict("")
  else()
    driver_verdict("packaged client (${result}): ${output}")
  endif()
  driver_stop_host()
  return()
endif()

# ---- the test ------------------------------------------------------------------------------
foreach(var CPACK CPACK_CONFIG SOURCE_DIR OBJDUMP HOST EMULATOR)
  if(NOT ${var})
    message(FATAL_ERROR "package: ${var} is not set (this test runs under Wine only)")
  endif()
endforeach()
set(WORK "${CMAKE_CURRENT_BINARY_DIR}/windows_package")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/made" "${WORK}/unpacked")

# Made as scripts/package.sh makes it, into this test's own folder.
execute_process(COMMAND ${CPACK} -G ZIP --config ${CPACK_CONFIG} -B ${WORK}/made
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 300)
file(GLOB zips "${WORK}/made/*.zip")
list(LENGTH zips zip_count)
if(NOT result EQUAL 0 OR NOT zip_count EQUAL 1)
  message(FATAL_ERROR "package: cpack (${result}) made ${zip_count} zip files:\n${output}")
endif()
get_filename_component(zip_name "${zips}" NAME)
if(NOT zip_name MATCHES "^Sendrel-(.+)-win32\\.zip$")
  message(FATAL_ERROR "package: the package is named ${zip_name}")
endif()
set(version "${CMAKE_MATCH_1}")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${WORK}/unpacked
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "package: ${zip_name} does not unpack (${result})")
endif()

# Exactly these files, in one folder named like the package.
set(folder "Sendrel-${version}-win32")
set(expected ${folder}/Sendrel.dll ${folder}/event_client.exe ${folder}/sendrel_send.py
             ${folder}/sendrel_mqtt.py ${folder}/sendrel_settings.py ${folder}/sendrel-web.toml
             ${folder}/README.txt ${folder}/LICENSE ${folder}/sendrel-node-red-flow.json)
file(GLOB screenshots RELATIVE ${SOURCE_DIR}/docs/screenshots ${SOURCE_DIR}/docs/screenshots/*.png)
foreach(shot ${screenshots})
  list(APPEND expected ${folder}/screenshots/${shot})
endforeach()
# The web service's folder as the source holds it, without Python's caches.
file(GLOB_RECURSE web_files RELATIVE ${SOURCE_DIR}/clients ${SOURCE_DIR}/clients/sendrel_web/*)
list(FILTER web_files EXCLUDE REGEX "__pycache__")
foreach(file ${web_files})
  list(APPEND expected ${folder}/${file})
endforeach()
# The Node-RED package's tarball, named by its own version, holding what its package.json
# names in "files", as npm installs it.
file(READ ${SOURCE_DIR}/clients/node-red/package.json manifest)
string(JSON node_red_version GET "${manifest}" version)
set(tarball ${folder}/node-red-contrib-sendrel-${node_red_version}.tgz)
list(APPEND expected ${tarball})
set(tarball_expected package/package.json package/sendrel.js package/sendrel.html package/README.md)
file(GLOB node_red_lib RELATIVE ${SOURCE_DIR}/clients/node-red ${SOURCE_DIR}/clients/node-red/lib/*)
foreach(file ${node_red_lib})
  list(APPEND tarball_expected package/${file})
endforeach()
file(GLOB_RECURSE found RELATIVE ${WORK}/unpacked ${WORK}/unpacked/*)
set(tarball_found "")
if(EXISTS ${WORK}/unpacked/${tarball})
  file(MAKE_DIRECTORY ${WORK}/tarball)
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar xzf ${WORK}/unpacked/${tarball}
                  WORKING_DIRECTORY ${WORK}/tarball)
  file(GLOB_RECURSE tarball_found RELATIVE ${WORK}/tarball ${WORK}/tarball/*)
endif()
foreach(what "" tarball_)
  list(SORT ${what}expected)
  list(SORT ${what}found)
  if(NOT ${what}found STREQUAL ${what}expected)
    string(REPLACE ";" "\n  " found_lines "${${what}found}")
    string(REPLACE ";" "\n  " expected_lines "${${what}expected}")
    message(FATAL_ERROR "package: ${what}holds\n  ${found_lines}\ninstead of\n  ${expected_lines}")
  endif()
endforeach()
set(dir "${WORK}/unpacked/${folder}")
set(PLUGIN "${dir}/Sendrel.dll")
set(CLIENT "${dir}/event_client.exe")

# The guide reads well in Notepad (CR LF line ends; text reads hide the CR, so count bytes)
# and explains each connection event.
file(READ "${dir}/README.txt" guide_hex HEX)
string(REGEX REPLACE "(..)" "\\1;" guide_bytes "${guide_hex}")
string(REPLACE "0d;0a;" "" bare "${guide_bytes}")
if(NOT guide_bytes MATCHES "0d;0a;" OR ";${bare}" MATCHES ";0a;")
  message(FATAL_ERROR "package: README.txt does not end every line with CR LF")
endif()
file(READ "${dir}/README.txt" guide)
foreach(text "Incoming connection" "Accepted connection" "Incorrect Password"
             "Blocked connection" "Disconnect" "ChgThisPw" "1024" "event_client"
             "sendrel_send.py" "sendrel_web" "paho-mqtt"
             "npm install C:\\Sendrel\\node-red-contrib-sendrel-${node_red_version}.tgz")
  string(FIND "${guide}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "package: README.txt never mentions ${text}")
  endif()
endforeach()

check_windows_imports(${OBJDUMP} ${PLUGIN} ${CLIENT})

start_wine_services(${HOST})

# What the plug-in answers and what the version resources say agree with the package name.
execute_process(COMMAND ${EMULATOR} ${HOST} identity ${PLUGIN} RESULT_VARIABLE result
                OUTPUT_VARIABLE identity ERROR_VARIABLE identity TIMEOUT 120)
string(REPLACE "\r" "" identity "${identity}")
if(NOT result EQUAL 0 OR NOT identity MATCHES "\nversion \"([^\"]*)\" rest=zero\n")
  message(FATAL_ERROR "package: identity of the packaged plug-in (${result}):\n${identity}")
endif()
set(qvl_version "${CMAKE_MATCH_1}")
if(NOT qvl_version STREQUAL version)
  message(FATAL_ERROR "package: qvl_version answers ${qvl_version}, the package is ${version}")
endif()
if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)")
  message(FATAL_ERROR "package: version ${version} does not start with MAJOR.MINOR")
endif()
set(fixed "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.0.0")
foreach(binary Sendrel.dll event_client.exe)
  execute_process(COMMAND ${EMULATOR} ${HOST} version ${dir}/${binary} RESULT_VARIABLE result
                  OUTPUT_VARIABLE resource ERROR_VARIABLE resource TIMEOUT 120)
  string(REPLACE "\r" "" resource "${resource}")
  foreach(line "fixed_version ${fixed}" "ProductName \"Sendrel\""
               "ProductVersion \"${qvl_version}\"" "FileVersion \"${qvl_version}\""
               "OriginalFilename \"${binary}\"")
    string(FIND "\n${resource}" "\n${line}\n" at)
    if(NOT result EQUAL 0 OR at EQUAL -1)
      message(FATAL_ERROR "package: the version resource of ${binary} (${result}) lacks\n"
                          "  ${line}\n${resource}")
    endif()
  endforeach()
  if(NOT resource MATCHES "\nFileDescription \"Sendrel [^\"]+\"\n")
    message(FATAL_ERROR "package: ${binary} has no file description:\n${resource}")
  endif()
endforeach()

# The unpacked plug-in serves the unpacked client.
run_host_session(${CMAKE_CURRENT_LIST_FILE} ${PASSWORD}
                 DRIVER -DEMULATOR=${EMULATOR} -DCLIENT=${CLIENT}
                 HOST ${HOST} run ${PLUGIN})
expect_in_order("the host's output" "${HOST_OUTPUT}"
  "opened \"Sendrel\" version \"${version}\"\n"
  "listening on port ${PORT}\n"
  "event \"Accepted connection\" payloads [\"127.0.0.1\"]\n"
  "event \"Package event\" payloads [\"127.0.0.1\", \"from the package\"]\n"
  "stopping\n" "stopped\n")
if(HOST_OUTPUT MATCHES "Sendrel trace")
  message(FATAL_ERROR "package: trace lines without --trace:\n${HOST_OUTPUT}")
endif()
