# Makes the Debian package of the build with CPack, as scripts/package does,
# and has lintian check it: no error and no warning may be left. Without
# lintian (scripts/package installs it) the check says so and is skipped.
#
#   cmake -DBUILD_DIR=... -DSTAGE=... -DCPACK=... -P CheckPackage.cmake

# Policies of this CMake: find_program takes only what can be executed.
cmake_minimum_required(VERSION 3.25)

foreach(var IN ITEMS BUILD_DIR STAGE CPACK)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} not given")
    endif()
endforeach()

find_program(LINTIAN lintian)
if(NOT LINTIAN)
    message("lintian is not installed: the package check is skipped")
    return()
endif()

file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${STAGE}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB debs ${STAGE}/*.deb)
list(LENGTH debs count)
if(NOT result EQUAL 0 OR NOT count EQUAL 1)
    message(FATAL_ERROR "cpack made no single .deb (status ${result}):\n${output}")
endif()

execute_process(COMMAND ${LINTIAN} --allow-root --display-info --pedantic
        --fail-on error,warning ${debs}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "lintian found errors or warnings in ${debs} (status ${result})")
endif()
