# Stamps the library with its version and the commit it was built from.
find_package(Git QUIET)
set(KESTRUM_COMMIT "unknown")
if(GIT_FOUND)
  execute_process(
    COMMAND ${GIT_EXECUTABLE} rev-parse --short=12 HEAD
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE _kestrum_commit
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET
    RESULT_VARIABLE _kestrum_git_result)
  if(_kestrum_git_result EQUAL 0 AND _kestrum_commit)
    set(KESTRUM_COMMIT "${_kestrum_commit}")
  endif()
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/BuildVersion.h.in
               ${CMAKE_BINARY_DIR}/generated/BuildVersion.h @ONLY)
