cmake_minimum_required(VERSION 3.18)
# The shipped DLL: a PE32 i386 DLL that exports the entry points under their undecorated
# names and imports from Windows system DLLs only.
#   cmake -DOBJDUMP=... -DPLUGIN=... -P dll_exports.cmake
execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${PLUGIN}")
endif()
if(NOT dump MATCHES "file format pei-i386")
  message(FATAL_ERROR "not a PE32 i386 image")
endif()
foreach(name qvl_name qvl_description qvl_version qvl_devicenum qvl_requested_api qvl_compare
             qvl_open qvl_close qvl_start qvl_stop qvl_info qvl_config qvl_learn_event)
  if(NOT dump MATCHES "\\] ${name}\n")
    message(FATAL_ERROR "${name} is not exported under its plain name")
  endif()
endforeach()
if(dump MATCHES "qvl_[a-z_]+@[0-9]")
  message(FATAL_ERROR "a decorated entry point name is exported")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/windows_imports.cmake)
check_windows_imports(${OBJDUMP} ${PLUGIN})
message(STATUS "exports and imports as they should be")
