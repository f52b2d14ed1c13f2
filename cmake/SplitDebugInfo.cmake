# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staged package, before it is
# archived: strips every ELF file the way Debian's own tools do, and keeps its
# debugging symbols outside the package, in debug/ beside the .deb, laid out
# as /usr/lib/debug is (.build-id/xx/rest.debug), so that
#   gdb -iex 'set debug-file-directory <package folder>/debug' brightsweep
# finds them.

find_program(BRIGHTSWEEP_OBJCOPY objcopy REQUIRED)
find_program(BRIGHTSWEEP_READELF readelf REQUIRED)

function(brightsweep_run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " command "${ARGN}")
        message(FATAL_ERROR "failed (${result}): ${command}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
    file(READ ${file} magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
        continue()
    endif()
    brightsweep_run(${BRIGHTSWEEP_READELF} --notes ${file})
    if(NOT output MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
        message(FATAL_ERROR "${file} has no build ID to file its debugging symbols under")
    endif()
    set(debug ${CPACK_PACKAGE_DIRECTORY}/debug/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
    get_filename_component(debug_dir ${debug} DIRECTORY)
    file(MAKE_DIRECTORY ${debug_dir})
    brightsweep_run(${BRIGHTSWEEP_OBJCOPY} --only-keep-debug --compress-debug-sections ${file} ${debug})
    file(CHMOD ${debug} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    brightsweep_run(${BRIGHTSWEEP_OBJCOPY} --strip-unneeded --remove-section=.comment
        --remove-section=.note --add-gnu-debuglink=${debug} ${file})
endforeach()
