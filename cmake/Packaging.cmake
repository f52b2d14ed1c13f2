# The Debian package, made by `cpack -G DEB` (scripts/package drives it).
# Library dependencies come from dpkg-shlibdeps, so they always match what
# the binary was linked against on the building machine.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brightsweep)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Brightsweep developers")
set(CPACK_PACKAGE_CONTACT "Brightsweep maintainers <maintainers@brightsweep.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "junk file cleaner for a Windows 95/98 drive C:")
set(CPACK_PACKAGE_DESCRIPTION
"Brightsweep empties the folders where Windows 95 and Windows 98 pile up
junk: the recent-documents list, temporary internet files, cookies,
Windows temporary files, the recycle bin and downloaded program files.
Each emptied folder keeps a one-line marker file that says so.

On Linux its drive C: is a folder of your choice, by default the drive C:
of your Wine prefix. It deletes ordinary files only: hidden and read-only
files, subfolders and whatever a symbolic link points to stay in place.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# The package carries stripped binaries; their debugging symbols stay beside
# it (see SplitDebugInfo.cmake), so CPack must not strip them away first.
set(CPACK_STRIP_FILES OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/SplitDebugInfo.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt finds its window-system backends as plugins at run time, which
# dpkg-shlibdeps cannot see; without them the program cannot open a window.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# A raw disk image is read in the program itself; qcow2, VHD, VDI and VMDK
# images through qemu-nbd, which the program says it misses where it is not
# there.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qemu-utils")

include(CPack)
