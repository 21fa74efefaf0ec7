# The version in every build: a generated header for qvl_version, and on Windows a VERSIONINFO
# resource for each shipped binary. Both come from SENDREL_VERSION, set once in the top-level
# CMakeLists.txt.

# The numeric version of the resources (major.minor.0.0) is the text's leading "N.N"; a
# suffix such as the "b" of a beta is carried by the version texts only.
if(NOT SENDREL_VERSION MATCHES "^([0-9]+)\\.([0-9]+)")
  message(FATAL_ERROR "SENDREL_VERSION '${SENDREL_VERSION}' does not start with MAJOR.MINOR")
endif()
set(SENDREL_VERSION_MAJOR ${CMAKE_MATCH_1})
set(SENDREL_VERSION_MINOR ${CMAKE_MATCH_2})
if(SENDREL_VERSION MATCHES "^[0-9]+\\.[0-9]+$")
  set(SENDREL_VERSION_IS_RELEASE TRUE)
else()
  set(SENDREL_VERSION_IS_RELEASE FALSE)
endif()

set(SENDREL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/sendrel_version.h.in
               ${SENDREL_GENERATED_DIR}/sendrel_version.h @ONLY)

# sendrel_version_resource(TARGET DESCRIPTION): gives a Windows binary its version resource,
# with the file name the target builds and DESCRIPTION as the file description. Does nothing
# in native builds.
function(sendrel_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(SENDREL_RC_FILE_TYPE VFT_DLL)
    set(SENDREL_RC_FILE_NAME ${output_name}.dll)
  else()
    set(SENDREL_RC_FILE_TYPE VFT_APP)
    set(SENDREL_RC_FILE_NAME ${output_name}.exe)
  endif()
  if(SENDREL_VERSION_IS_RELEASE)
    set(SENDREL_RC_FILE_FLAGS 0)
  else()
    set(SENDREL_RC_FILE_FLAGS VS_FF_PRERELEASE)
  endif()
  set(SENDREL_RC_DESCRIPTION "${description}")
  set(SENDREL_RC_INTERNAL_NAME ${output_name})
  set(rc ${SENDREL_GENERATED_DIR}/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version_info.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
