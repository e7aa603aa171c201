# Writes the program's version (git describe) into a header for the scan records, and
# touches the header only when the version changed, so that an unchanged tree rebuilds
# nothing. Run at every build by the varnix_version target.
#   cmake -DSOURCE_DIR=... -DOUTPUT=... -P version.cmake
execute_process(COMMAND git describe --always --dirty WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT version)
  set(version "unknown")
endif()
file(WRITE ${OUTPUT}.tmp "#define VARNIX_VERSION \"${version}\"\n")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE ${OUTPUT}.tmp)
