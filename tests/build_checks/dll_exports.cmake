cmake_minimum_required(VERSION 3.18)
# The shipped DLL: a PE32 i386 DLL that exports the entry points under their undecorated
# names and imports from Windows system DLLs only.
#   cmake -DOBJDUMP=... -DPLUGIN=... -P dll_exports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/windows_imports.cmake)
windows_image_dump(${OBJDUMP} ${PLUGIN} dump)
check_dump_imports(${PLUGIN} "${dump}")
foreach(name qvl_name qvl_description qvl_version qvl_devicenum qvl_requested_api qvl_compare
             qvl_open qvl_close qvl_start qvl_stop qvl_info qvl_config qvl_learn_event)
  if(NOT dump MATCHES "\\] ${name}\n")
    message(FATAL_ERROR "${name} is not exported under its plain name")
  endif()
endforeach()
if(dump MATCHES "qvl_[a-z_]+@[0-9]")
  message(FATAL_ERROR "a decorated entry point name is exported")
endif()
message(STATUS "exports and imports as they should be")
