# The Debian package tivlo: `cpack -G DEB` in a build directory once it is
# built. It holds what the install rules install below /usr (the library,
# both programs, the header, the pkg-config and CMake files, the manual pages
# and the receiver's systemd unit), /etc/default/tivlo-recv as a conffile,
# and maintainer scripts that make the service's account and folder but
# leave the service disabled.
if(WIN32)
  return()
endif()

# The settings of the service belong to the package only: an installation
# into a prefix must not write to /etc.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/tivlo-recv.default DESTINATION /etc/default
        RENAME tivlo-recv COMPONENT debian EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tivlo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tivlo maintainers <maintainers@tivlo.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Everything the install rules install, and the package's own files.
set(CPACK_INSTALL_CMAKE_PROJECTS ${PROJECT_BINARY_DIR} ${PROJECT_NAME} ALL /
                                 ${PROJECT_BINARY_DIR} ${PROJECT_NAME} debian /)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "copies files to many machines at once by IP multicast
Tivlo copies a selection of files and directories from one sending machine
to many receiving machines on a local network at the same time, by IP
multicast over UDP. The sender streams every file once, then serves each
receiver's missing blocks in turn, so every receiver ends with a byte-exact
copy, or the sender learns which receiver failed and why.

This package holds the programs tivlo-send and tivlo-recv, the receiver's
systemd service (installed disabled), the shared library libtivlo and its
header, pkg-config and CMake files.")
# libc6, libstdc++6 and libgcc-s1 as the programs and the library need them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
