# Writes OUTPUT, a header naming the commit the build was made from, and
# rewrites it only when that changes, so an unchanged tree rebuilds nothing:
#   cmake -DSOURCE=dir -DOUTPUT=header -P BuildCommit.cmake
# A tree that is not a Git checkout (a source tarball) says "unknown"; one
# with uncommitted changes says so after the commit.
set(commit unknown)
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE} rev-parse --short=12 HEAD
    OUTPUT_VARIABLE head RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND NOT head STREQUAL "")
    set(commit ${head})
    execute_process(COMMAND ${GIT} -C ${SOURCE} status --porcelain --untracked-files=no
      OUTPUT_VARIABLE changes ERROR_QUIET)
    if(NOT changes STREQUAL "")
      string(APPEND commit "-modified")
    endif()
  endif()
endif()
set(text "#define TAVREL_BUILD_COMMIT \"${commit}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
