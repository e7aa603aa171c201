# Writes the build's identity into a header: the release (the project's version) and
# the revision it was built from (git describe, "unknown" outside a checkout). The
# header is touched only when either changed, so that an unchanged tree rebuilds
# nothing. Run at every build by the varnix_version_header target.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -DRELEASE=... -P version.cmake
execute_process(COMMAND git describe --always --dirty WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT revision)
  set(revision "unknown")
endif()
file(WRITE ${OUTPUT}.tmp "#define VARNIX_RELEASE \"${RELEASE}\"\n#define VARNIX_REVISION \"${revision}\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE ${OUTPUT}.tmp)
