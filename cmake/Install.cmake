# What `cmake --install` puts where: the program, its menu entry, its icons,
# its AppStream data and its manual page, all in the GNU directory layout so
# the same rules serve /usr/local and the Debian package.

set(BRIGHTSWEEP_APP_ID org.brightsweep.Brightsweep)
set(BRIGHTSWEEP_RESOURCES ${PROJECT_SOURCE_DIR}/resources)
set(BRIGHTSWEEP_DESKTOP_OUT ${PROJECT_BINARY_DIR}/desktop)

# The application icon is drawn once, by scripts/draw-artwork: the XPM
# pictures compiled into the program and the scalable SVG come from the same
# drawing (the test artwork_drawn_from_one_source keeps both as it makes
# them), and the PNG menu icons are made from the XPM pictures at build time.
set(BRIGHTSWEEP_ICON_XPM_16 ${BRIGHTSWEEP_RESOURCES}/brightsweep16.xpm)
set(BRIGHTSWEEP_ICON_XPM_32 ${BRIGHTSWEEP_RESOURCES}/brightsweep32.xpm)

set(BRIGHTSWEEP_ICON_PNGS)
foreach(size IN ITEMS 16 32)
    set(dir ${BRIGHTSWEEP_DESKTOP_OUT}/icons/${size}x${size})
    set(png ${dir}/${BRIGHTSWEEP_APP_ID}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
        COMMAND brightsweep_xpm_to_png ${BRIGHTSWEEP_ICON_XPM_${size}} ${png} ${size}
        DEPENDS brightsweep_xpm_to_png ${BRIGHTSWEEP_ICON_XPM_${size}}
        COMMENT "Making the ${size}x${size} menu icon"
        VERBATIM)
    list(APPEND BRIGHTSWEEP_ICON_PNGS ${png})
    install(FILES ${png}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian wants manual pages and changelogs compressed, and gzip -n keeps the
# package reproducible (no name or time stamp in the header). Makes FILE.gz
# beside FILE.
function(brightsweep_gzip file)
    get_filename_component(dir ${file} DIRECTORY)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${file}.gz
        COMMAND gzip -9 -n -f -k ${name}
        WORKING_DIRECTORY ${dir}
        DEPENDS ${file}
        COMMENT "Compressing ${name}"
        VERBATIM)
endfunction()

configure_file(${BRIGHTSWEEP_RESOURCES}/brightsweep.1.in
    ${BRIGHTSWEEP_DESKTOP_OUT}/man/brightsweep.1 @ONLY)
brightsweep_gzip(${BRIGHTSWEEP_DESKTOP_OUT}/man/brightsweep.1)

# The Debian packaging lives in the project's own tree, so the package is a
# native one (no Debian revision) and its one changelog is changelog.gz.
configure_file(${BRIGHTSWEEP_RESOURCES}/changelog
    ${BRIGHTSWEEP_DESKTOP_OUT}/doc/changelog COPYONLY)
brightsweep_gzip(${BRIGHTSWEEP_DESKTOP_OUT}/doc/changelog)

add_custom_target(brightsweep_desktop_files ALL
    DEPENDS ${BRIGHTSWEEP_ICON_PNGS} ${BRIGHTSWEEP_DESKTOP_OUT}/man/brightsweep.1.gz
        ${BRIGHTSWEEP_DESKTOP_OUT}/doc/changelog.gz)

install(TARGETS brightsweep RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${BRIGHTSWEEP_RESOURCES}/${BRIGHTSWEEP_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${BRIGHTSWEEP_RESOURCES}/${BRIGHTSWEEP_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${BRIGHTSWEEP_RESOURCES}/${BRIGHTSWEEP_APP_ID}.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${BRIGHTSWEEP_DESKTOP_OUT}/man/brightsweep.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# The copyright file points at Debian's copy of the licence text, so the
# LICENSE file itself is not installed.
install(FILES ${BRIGHTSWEEP_RESOURCES}/copyright ${BRIGHTSWEEP_DESKTOP_OUT}/doc/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
