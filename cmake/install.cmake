# Installation: the shared library, the public header, the two programs, the
# systemd unit, the manual pages, a pkg-config file and a CMake package
# (Tivlo::tivlo), so that other C and C++ programs can find and link Tivlo.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tivlo EXPORT TivloTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tivlo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development FILES_MATCHING PATTERN "*.h")
if(TARGET tivlo-send AND TARGET tivlo-recv)
  install(TARGETS tivlo-send tivlo-recv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

# The unit names the installed program, wherever the prefix puts it: the
# one given to cmake --install or to a package, not only the configured one.
if(NOT WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/tivlo-recv.service.in
                 ${PROJECT_BINARY_DIR}/packaging/tivlo-recv.service @ONLY)
  set(TIVLO_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
      "Where the systemd unit of tivlo-recv is installed (relative: below the prefix)")
  set(unit_installed ${PROJECT_BINARY_DIR}/packaging/installed/tivlo-recv.service)
  install(CODE "
    file(READ \"${PROJECT_BINARY_DIR}/packaging/tivlo-recv.service\" unit)
    string(REPLACE \"${CMAKE_INSTALL_FULL_BINDIR}/\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\" unit \"\${unit}\")
    file(WRITE \"${unit_installed}\" \"\${unit}\")" COMPONENT runtime)
  install(FILES ${unit_installed} DESTINATION ${TIVLO_SYSTEMD_UNIT_DIR} COMPONENT runtime)
  # Makes the folders named in /etc/default/tivlo-recv writable for the unit.
  set(TIVLO_SYSTEMD_GENERATOR_DIR "lib/systemd/system-generators" CACHE STRING
      "Where the generator of the unit's writable folders is installed (relative: below the prefix)")
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/tivlo-recv-generator DESTINATION ${TIVLO_SYSTEMD_GENERATOR_DIR}
          COMPONENT runtime)

  # Manual pages: roff sources with the version filled in.
  foreach(page tivlo-send.1 tivlo-recv.1 libtivlo.3)
    configure_file(${PROJECT_SOURCE_DIR}/doc/man/${page}.in ${PROJECT_BINARY_DIR}/doc/man/${page} @ONLY)
    string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${page})
    install(FILES ${PROJECT_BINARY_DIR}/doc/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
            COMPONENT runtime)
  endforeach()
endif()

# pkg-config: paths relative to the file's own place, so an installed tree
# can be moved (or installed with another --prefix).
file(RELATIVE_PATH TIVLO_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tivlo.pc.in ${PROJECT_BINARY_DIR}/tivlo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tivlo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

set(TIVLO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tivlo)
install(EXPORT TivloTargets NAMESPACE Tivlo:: FILE TivloTargets.cmake DESTINATION ${TIVLO_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TivloConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TivloConfig.cmake INSTALL_DESTINATION ${TIVLO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TivloConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TivloConfig.cmake ${PROJECT_BINARY_DIR}/TivloConfigVersion.cmake
        DESTINATION ${TIVLO_CMAKE_DIR} COMPONENT development)
