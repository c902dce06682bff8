# What `cmake --install` lays down, and the Debian package made of it.

install(TARGETS radio radio-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The layer: both libraries, their headers under include/radio/ (so that
# "serial/serial.h" resolves as it does in this tree), a CMake package with
# exported targets, and a pkg-config file.
install(TARGETS radio_serial EXPORT radioTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/radio/serial)
install(TARGETS radio_console EXPORT radioTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/radio/console)

set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/radio)
install(EXPORT radioTargets NAMESPACE radio:: DESTINATION ${cmake_dir})
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/radioConfig.cmake.in
  ${PROJECT_BINARY_DIR}/radioConfig.cmake INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/radioConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/radioConfig.cmake
  ${PROJECT_BINARY_DIR}/radioConfigVersion.cmake DESTINATION ${cmake_dir})

file(RELATIVE_PATH pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/radio.pc.in ${PROJECT_BINARY_DIR}/radio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/radio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME radio)
set(CPACK_PACKAGE_VENDOR "radio developers")
set(CPACK_PACKAGE_CONTACT "radio developers <radio@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "console keys to single command bytes on a serial line")
set(CPACK_PACKAGE_DESCRIPTION
  "radio turns each command key typed on the console into one command byte on
the serial port, for a device that takes one byte per command.  radio-sim
plays such a device, on a real port or in a demo that needs no hardware.
The package also holds the device-access layer (serial port and console key
functions) as static libraries with headers, a CMake package and a
pkg-config file.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
