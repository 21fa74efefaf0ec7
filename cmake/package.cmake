# The release package for Windows users: Sendrel-<version>-win32.zip with the plug-in, the
# command-line client and its Python twin, the MQTT bridge, the web service, the Node-RED
# package, the user guide, the licence and the dialogs' screenshots, made by CPack's ZIP
# generator (scripts/package.sh runs it after the win32 build).
#
#   Sendrel-<version>-win32/Sendrel.dll
#   Sendrel-<version>-win32/event_client.exe
#   Sendrel-<version>-win32/sendrel_send.py       the client for any machine with Python 3.8+
#   Sendrel-<version>-win32/sendrel_mqtt.py       the MQTT bridge (with sendrel_send.py)
#   Sendrel-<version>-win32/sendrel_settings.py   the settings code the bridge and the web
#                                                 service share
#   Sendrel-<version>-win32/sendrel_web/          the web service (with aiohttp), a folder
#                                                 run as a program, its page's files inside
#   Sendrel-<version>-win32/sendrel-web.toml      the web service's sample settings
#   Sendrel-<version>-win32/node-red-contrib-sendrel-<its version>.tgz   the Node-RED
#                                                 package, as npm pack makes it
#   Sendrel-<version>-win32/sendrel-node-red-flow.json  its example flow
#   Sendrel-<version>-win32/README.txt            the guide, with Windows line ends
#   Sendrel-<version>-win32/LICENSE               the licence
#   Sendrel-<version>-win32/screenshots/*.png     whatever docs/screenshots holds

# CPack installs what is built, without building the whole tree first: scripts/package.sh builds
# only the two binaries that go in, not the tools and tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The binaries go in stripped (CPACK_STRIP_FILES); the DLL's import library stays out.
install(TARGETS sendrel event_client RUNTIME DESTINATION .
        ARCHIVE DESTINATION lib COMPONENT import_library EXCLUDE_FROM_ALL)

# The Node-RED package as npm pack makes it from what its package.json names in "files" (its
# tests and their npm packages stay out): installed from this file, npm makes a copy that
# outlives the folder it came from, where a folder would be linked. npm packs without the
# registry.
set(node_red ${CMAKE_SOURCE_DIR}/clients/node-red)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${node_red}/package.json)
file(READ ${node_red}/package.json node_red_manifest)
string(JSON node_red_version GET "${node_red_manifest}" version)
set(SENDREL_NODE_RED_TARBALL node-red-contrib-sendrel-${node_red_version}.tgz)
file(GLOB node_red_files CONFIGURE_DEPENDS ${node_red}/*.js ${node_red}/*.html ${node_red}/*.md
     ${node_red}/lib/*)
find_program(SENDREL_NPM npm)
if(SENDREL_NPM)
  set(pack ${SENDREL_NPM} pack --silent --pack-destination ${CMAKE_BINARY_DIR}/package ${node_red})
else()
  set(pack ${CMAKE_COMMAND} -E echo "npm is missing: run scripts/setup.sh as root"
      COMMAND ${CMAKE_COMMAND} -E false)
endif()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/${SENDREL_NODE_RED_TARBALL}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
                   COMMAND ${pack} DEPENDS ${node_red}/package.json ${node_red_files} VERBATIM)
add_custom_target(node_red_tarball ALL DEPENDS ${CMAKE_BINARY_DIR}/package/${SENDREL_NODE_RED_TARBALL})

# Notepad and every other Windows editor read the guide as written.
configure_file(${CMAKE_SOURCE_DIR}/docs/windows_guide.txt ${CMAKE_BINARY_DIR}/package/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_SOURCE_DIR}/clients/sendrel_send.py
              ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/clients/sendrel_mqtt.py
              ${CMAKE_SOURCE_DIR}/clients/sendrel_settings.py
              ${CMAKE_SOURCE_DIR}/docs/sendrel-web.toml DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/clients/sendrel_web DESTINATION .
        PATTERN __pycache__ EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/package/${SENDREL_NODE_RED_TARBALL}
              ${CMAKE_SOURCE_DIR}/docs/sendrel-node-red-flow.json DESTINATION .)

file(GLOB SENDREL_SCREENSHOTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/screenshots/*.png)
if(SENDREL_SCREENSHOTS)
  install(FILES ${SENDREL_SCREENSHOTS} DESTINATION screenshots)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Sendrel)
set(CPACK_PACKAGE_VENDOR Tovrik)
set(CPACK_PACKAGE_VERSION ${SENDREL_VERSION})
set(CPACK_PACKAGE_FILE_NAME Sendrel-${SENDREL_VERSION}-win32)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sendrel: a TCP event server plug-in for Quorvel")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
