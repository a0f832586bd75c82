# Writes a manual page from its template, with the version filled in. For
# the page of tavrel-host (a template with a COMMANDS section) it first checks
# that every command the program's help lists has a ".SS name" there:
#   cmake -DHOST=exe -DTEMPLATE=page.in -DVERSION=x -DOUTPUT=page -P HostManual.cmake
file(READ ${TEMPLATE} page)
if(page MATCHES "\n\\.SH COMMANDS\n")
  execute_process(COMMAND ${HOST} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${HOST} --help failed")
  endif()
  string(REGEX MATCH "Subcommands:\n(.*)" _ "${help}")
  string(REGEX MATCHALL "\n?  [a-z][a-z0-9-]* [^\n]*" lines "${CMAKE_MATCH_1}")
  if(lines STREQUAL "")
    message(FATAL_ERROR "no commands found in the help of ${HOST}")
  endif()
  foreach(line IN LISTS lines)
    string(REGEX MATCH "([a-z][a-z0-9-]*) +" _ "${line}")
    if(NOT page MATCHES "\n\\.SS ${CMAKE_MATCH_1}\n")
      message(FATAL_ERROR "${TEMPLATE} does not describe the command ${CMAKE_MATCH_1}")
    endif()
  endforeach()
endif()
set(PROJECT_VERSION ${VERSION})
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
