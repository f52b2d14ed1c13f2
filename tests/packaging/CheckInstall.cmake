# Installs the build into a scratch prefix and checks that what lands there
# is a complete, self-consistent desktop application: nothing missing,
# nothing stray, the menu entry pointing at the installed program and icon.
#
#   cmake -DBUILD_DIR=... -DSTAGE=... -DAPP_ID=... -DVERSION=... -DAPPSTREAMCLI=...
#         -P CheckInstall.cmake

include(${CMAKE_CURRENT_LIST_DIR}/AppStream.cmake)

foreach(var IN ITEMS BUILD_DIR STAGE APP_ID VERSION APPSTREAMCLI)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} not given")
    endif()
endforeach()

file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}/usr
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
    usr/bin/brightsweep
    usr/share/applications/${APP_ID}.desktop
    usr/share/doc/brightsweep/changelog.gz
    usr/share/doc/brightsweep/copyright
    usr/share/icons/hicolor/16x16/apps/${APP_ID}.png
    usr/share/icons/hicolor/32x32/apps/${APP_ID}.png
    usr/share/icons/hicolor/scalable/apps/${APP_ID}.svg
    usr/share/man/man1/brightsweep.1.gz
    usr/share/metainfo/${APP_ID}.metainfo.xml)
file(GLOB_RECURSE installed RELATIVE ${STAGE} LIST_DIRECTORIES false ${STAGE}/*)
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
    string(REPLACE ";" "\n  " installed_lines "${installed}")
    string(REPLACE ";" "\n  " expected_lines "${expected}")
    message(FATAL_ERROR "installed:\n  ${installed_lines}\nexpected:\n  ${expected_lines}")
endif()

# The menu entry must start (and look for) the installed program and name the
# installed icon; so must each of its actions.
foreach(key IN ITEMS Exec TryExec)
    file(STRINGS ${STAGE}/usr/share/applications/${APP_ID}.desktop exec_lines REGEX "^${key}=")
    if(NOT exec_lines)
        message(FATAL_ERROR "the menu entry has no ${key}")
    endif()
    foreach(exec_line IN LISTS exec_lines)
        string(REGEX REPLACE "^${key}=([^ ]+).*" "\\1" exec_name "${exec_line}")
        if(NOT exec_name OR NOT EXISTS ${STAGE}/usr/bin/${exec_name})
            message(FATAL_ERROR "the menu entry's ${key} is '${exec_name}', which is not installed in bin")
        endif()
    endforeach()
endforeach()
file(STRINGS ${STAGE}/usr/share/applications/${APP_ID}.desktop icon_line REGEX "^Icon=")
if(NOT icon_line STREQUAL "Icon=${APP_ID}")
    message(FATAL_ERROR "the menu entry names icon '${icon_line}', the icons are installed as ${APP_ID}")
endif()

# Each PNG must really be the size of the folder it sits in: its IHDR chunk
# holds width and height as big-endian 32-bit numbers at byte 16.
foreach(size IN ITEMS 16 32)
    set(png ${STAGE}/usr/share/icons/hicolor/${size}x${size}/apps/${APP_ID}.png)
    file(READ ${png} header LIMIT 24 HEX)
    string(SUBSTRING "${header}" 0 16 signature)
    string(SUBSTRING "${header}" 32 8 width_hex)
    string(SUBSTRING "${header}" 40 8 height_hex)
    math(EXPR width "0x${width_hex}")
    math(EXPR height "0x${height_hex}")
    if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT width EQUAL size OR NOT height EQUAL size)
        message(FATAL_ERROR "${png} is not a ${size}x${size} PNG (${width}x${height}, ${signature})")
    endif()
endforeach()

# A version bump must come with a release entry in the AppStream data and in
# the package's changelog.
file(STRINGS ${STAGE}/usr/share/metainfo/${APP_ID}.metainfo.xml release_lines REGEX "<release ")
list(GET release_lines 0 newest)
if(NOT newest MATCHES "version=\"${VERSION}\"")
    message(FATAL_ERROR "the newest AppStream release is not ${VERSION}: ${newest}")
endif()
execute_process(COMMAND gzip -dc ${STAGE}/usr/share/doc/brightsweep/changelog.gz
    OUTPUT_VARIABLE changelog RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT changelog MATCHES "^brightsweep \\(${VERSION}\\) ")
    string(REGEX REPLACE "\n.*" "" newest "${changelog}")
    message(FATAL_ERROR "the newest changelog entry is not ${VERSION}: ${newest}")
endif()

# The licence is stated the same in the AppStream data (SPDX) and the
# copyright file (its short name for the files as a whole).
file(READ ${STAGE}/usr/share/metainfo/${APP_ID}.metainfo.xml metainfo)
file(READ ${STAGE}/usr/share/doc/brightsweep/copyright copyright)
string(REGEX MATCH "<project_license>([^<]*)</project_license>" _ "${metainfo}")
set(project_license "${CMAKE_MATCH_1}")
string(REGEX MATCH "\nFiles: \\*\n(Copyright: [^\n]*\n)+License: ([^\n]*)" _ "${copyright}")
set(copyright_license "${CMAKE_MATCH_2}")
if(NOT project_license STREQUAL "GPL-3.0-or-later" OR NOT copyright_license STREQUAL "GPL-3+")
    message(FATAL_ERROR "the licence is not GPL-3.0-or-later everywhere: AppStream "
        "'${project_license}', copyright file '${copyright_license}'")
endif()

# The AppStream tool checks the installed tree as software centres read it:
# the launchable desktop entry and the icons must be where the data says.
appstream_validate(${APPSTREAMCLI} validate-tree ${STAGE})
