# Writes the build's version and commit into generated files, at every build:
#
#   cmake -DVERSION=x.y.z -DSOURCE_DIR=dir -DHEADER=out.h [-DRC=out.rc] -P BuildInfo.cmake
#
# HEADER comes from common/BuildInfo.h.in; RC, the Windows version resource,
# from app/brevant.rc.in.
# The commit is the source tree's HEAD, with "-modified" when tracked files
# differ from it, or "unknown" outside git. configure_file leaves an output
# untouched when its text is the same, so nothing recompiles until the
# version or the commit changes.
string(REPLACE "." ";" parts "${VERSION}.0.0.0")
list(GET parts 0 VERSION_MAJOR)
list(GET parts 1 VERSION_MINOR)
list(GET parts 2 VERSION_PATCH)

set(COMMIT unknown)
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=7 HEAD
                  OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND head MATCHES "^[0-9a-f]+$")
    set(COMMIT "${head}")
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" diff --quiet HEAD --
                    RESULT_VARIABLE modified ERROR_QUIET)
    if(modified)
      set(COMMIT "${COMMIT}-modified")
    endif()
  endif()
endif()

configure_file("${SOURCE_DIR}/common/BuildInfo.h.in" "${HEADER}" @ONLY)
if(RC)
  configure_file("${SOURCE_DIR}/app/brevant.rc.in" "${RC}" @ONLY)
endif()
