# The release package for Windows users: Sendrel-<version>-win32.zip with the plug-in, the
# command-line client and its Python twin, the MQTT bridge, the user guide and the dialogs'
# screenshots, made by CPack's ZIP generator (scripts/package.sh runs it after the win32 build).
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
#   Sendrel-<version>-win32/node-red-contrib-sendrel/   the Node-RED package, as npm
#                                                 installs it from a folder
#   Sendrel-<version>-win32/sendrel-node-red-flow.json  its example flow
#   Sendrel-<version>-win32/README.txt            the guide, with Windows line ends
#   Sendrel-<version>-win32/screenshots/*.png     whatever docs/screenshots holds

# CPack installs what is built, without building the whole tree first: scripts/package.sh builds
# only the two binaries that go in, not the tools and tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The binaries go in stripped (CPACK_STRIP_FILES); the DLL's import library stays out.
install(TARGETS sendrel event_client RUNTIME DESTINATION .
        ARCHIVE DESTINATION lib COMPONENT import_library EXCLUDE_FROM_ALL)

# Notepad and every other Windows editor read the guide as written.
configure_file(${CMAKE_SOURCE_DIR}/docs/windows_guide.txt ${CMAKE_BINARY_DIR}/package/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/package/README.txt ${CMAKE_SOURCE_DIR}/clients/sendrel_send.py
        DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/clients/sendrel_mqtt.py
              ${CMAKE_SOURCE_DIR}/clients/sendrel_settings.py
              ${CMAKE_SOURCE_DIR}/docs/sendrel-web.toml DESTINATION .)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/clients/sendrel_web DESTINATION .
        PATTERN __pycache__ EXCLUDE)
# What the Node-RED package's "files" ship (its tests and their npm packages stay out).
set(node_red ${CMAKE_SOURCE_DIR}/clients/node-red)
install(FILES ${node_red}/package.json ${node_red}/sendrel.js ${node_red}/sendrel.html
              ${node_red}/README.md DESTINATION node-red-contrib-sendrel)
install(DIRECTORY ${node_red}/lib DESTINATION node-red-contrib-sendrel)
install(FILES ${CMAKE_SOURCE_DIR}/docs/sendrel-node-red-flow.json DESTINATION .)

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
