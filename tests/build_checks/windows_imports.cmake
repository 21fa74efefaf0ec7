# Windows binaries that users run outside the build: each a PE32 i386 image importing from
# Windows system DLLs only (the C++ runtime, libgcc and winpthreads linked in).
#   cmake -DOBJDUMP=... -DFILES="a.dll;b.exe" -P windows_imports.cmake
# or include() it and call check_windows_imports(OBJDUMP FILE...).
cmake_minimum_required(VERSION 3.18)

set(WINDOWS_SYSTEM_DLLS advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll
    netapi32.dll user32.dll version.dll ws2_32.dll)

# Sets out to objdump's headers of file, which must be a PE32 i386 image.
function(windows_image_dump objdump file out)
  execute_process(COMMAND ${objdump} -p ${file} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${file}")
  endif()
  if(NOT dump MATCHES "file format pei-i386")
    message(FATAL_ERROR "${file} is not a PE32 i386 image")
  endif()
  set(${out} "${dump}" PARENT_SCOPE)
endfunction()

# Fails unless the image whose headers dump holds imports from Windows system DLLs only.
function(check_dump_imports file dump)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  if(NOT imports)
    message(FATAL_ERROR "${file} lists no imports: objdump's output is not understood")
  endif()
  foreach(line ${imports})
    string(REPLACE "DLL Name: " "" dll "${line}")
    string(TOLOWER "${dll}" dll_lower)
    if(NOT dll_lower IN_LIST WINDOWS_SYSTEM_DLLS)
      message(FATAL_ERROR "${file} imports from ${dll}, which is not a Windows system DLL")
    endif()
  endforeach()
endfunction()

function(check_windows_imports objdump)
  foreach(file ${ARGN})
    windows_image_dump(${objdump} ${file} dump)
    check_dump_imports(${file} "${dump}")
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT OBJDUMP OR NOT FILES)
    message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DFILES=... -P windows_imports.cmake")
  endif()
  check_windows_imports(${OBJDUMP} ${FILES})
  message(STATUS "only Windows system DLLs imported by: ${FILES}")
endif()
