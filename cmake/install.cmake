# SPDX-License-Identifier: MIT
# What `cmake --install` lays down, and the two Debian packages made of it,
# split as Debian splits a program from its library:
#   program -> radio         radio, radio-sim and their manual pages
#   dev     -> libradio-dev  headers, static libraries, CMake package,
#                            pkg-config file, the layer's manual pages
# Libraries go to the multiarch folder when the prefix is /usr
# (GNUInstallDirs: lib/x86_64-linux-gnu on amd64).

install(TARGETS radio radio-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

# The layer: both libraries, their headers under include/radio/ (so that
# "serial/serial.h" resolves as it does in this tree), a CMake package with
# exported targets, and a pkg-config file.
install(TARGETS radio_serial EXPORT radioTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/radio/serial COMPONENT dev)
install(TARGETS radio_console EXPORT radioTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/radio/console COMPONENT dev)

set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/radio)
install(EXPORT radioTargets NAMESPACE radio:: DESTINATION ${cmake_dir} COMPONENT dev)
include(CMakePackageConfigHelpers)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/radioConfig.cmake.in
  ${PROJECT_BINARY_DIR}/radioConfig.cmake INSTALL_DESTINATION ${cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/radioConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/radioConfig.cmake
  ${PROJECT_BINARY_DIR}/radioConfigVersion.cmake DESTINATION ${cmake_dir} COMPONENT dev)

file(RELATIVE_PATH pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/radio.pc.in ${PROJECT_BINARY_DIR}/radio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/radio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# Each package's changelog (compressed, as Debian wants it) and copyright.
set(RADIO_MAINTAINER "radio developers <radio@example.org>" CACHE STRING
  "Maintainer of the Debian packages, as Name <address>")
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(pair program:radio dev:libradio-dev)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
if(RADIO_DEB_ARCH)
  # A cross build (the toolchain file names the architecture).  Its
  # dependencies come from dpkg-shlibdeps as natively, when scripts/package
  # runs cpack with DEB_HOST_ARCH set and the target's C and C++ libraries
  # installed through dpkg's multiarch.
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${RADIO_DEB_ARCH})
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program dev)
set(CPACK_PACKAGE_NAME radio)
set(CPACK_PACKAGE_VENDOR "the radio developers")
# CPack's own default summary: only with it does CPack leave each package's
# description alone, so that its first line is that package's synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "${RADIO_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME radio)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SHLIBDEPS ON)
# The first line is the synopsis, the rest the long description.
set(CPACK_DEBIAN_PROGRAM_DESCRIPTION "console keys to single command bytes on a serial line
radio turns each command key typed on the console into one command byte on
the serial port, for a device that takes one byte per command.  radio-sim
plays such a device, on a real port or in a demo that needs no hardware.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libradio-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# Static libraries and headers that include <termios.h>: what a program
# built on them needs is the C library's development files.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libc6-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "serial port and console key functions of radio (static)
The device-access layer beneath radio: the posix_com_* functions open a
serial device with complete line settings and read and write single bytes;
the console functions read single keys from the controlling terminal,
decode escape sequences, and save and restore terminal settings.  Static
libraries with headers, a CMake package and a pkg-config file.")
include(CPack)
