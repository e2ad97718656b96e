# `cmake --build build --target package` makes kestrel_<version>_<arch>.deb from what
# `cmake --install` puts under /usr: both programs, the desktop entry, icons, man pages,
# bash completion, and the copyright and changelog Debian asks of every package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_CONTACT "Kestrel maintainers <maintainers@users.noreply.c-seed-d0bb9f4a.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "in-place ISO 9660 disc image editor")
set(CPACK_PACKAGE_DESCRIPTION [[
Kestrel edits ISO 9660 disc images (CD-ROM, CD-ROM XA, single- and dual-layer
DVD) in place: it relinks files to another file's data, edits a directory
record's extent and size, extracts, overwrites and blanks files, without ever
rebuilding the image. Every edit is journaled and can be undone.
.
The package holds the editor's window (kestrel) and the command-line tool
(kestrel-cli), which needs no display.]])
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
# The libraries the programs link, with the versions their symbols need, as dpkg-shlibdeps
# reads them from the binaries; nothing is listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian ships binaries without their debugging symbols and wants control files 0644,
# directories 0755 whatever the builder's umask.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
