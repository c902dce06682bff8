# SPDX-License-Identifier: MIT
# The Debian packages are built as Debian builds its own: with the flags
# dpkg-buildflags gives for the package's architecture, every hardening
# feature on (stack protector, _FORTIFY_SOURCE, format-security, full RELRO
# with immediate binding, PIE).  Only the package presets turn this on; the
# developers' release build and the sanitizer and fuzz builds keep their own
# flags.
#
# Two of Debian's flags are left out, and why:
#   -O2  the build type's optimisation stays (Release: -O3 -DNDEBUG), so the
#        packaged radio is the program the benchmark measures;
#   -g   the packages carry no debug information (CPack strips the
#        programs, and the static libraries would otherwise carry it).
# -ffile-prefix-map (from dpkg-buildflags run in the source folder) keeps
# the folder the packages were built in out of them.
if(RADIO_DEB_ARCH)
  set(host_arch "DEB_HOST_ARCH=${RADIO_DEB_ARCH}")
else()
  set(host_arch "")
endif()
foreach(var CFLAGS CXXFLAGS CPPFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env ${host_arch} DEB_BUILD_MAINT_OPTIONS=hardening=+all
            dpkg-buildflags --get ${var}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^(-g|-O[0-9s]?)$")
  set(deb_${var} ${flags})
endforeach()
# dpkg-buildflags maps the real path; a checkout reached through a symbolic
# link is compiled by the path it was reached by, which needs its own map.
file(REAL_PATH "${PROJECT_SOURCE_DIR}" real_source_dir)
if(NOT real_source_dir STREQUAL PROJECT_SOURCE_DIR)
  list(APPEND deb_CFLAGS "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
  list(APPEND deb_CXXFLAGS "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.")
endif()
list(JOIN deb_CXXFLAGS " " shown)
message(STATUS "dpkg-buildflags (hardening=+all, without -O2 -g): ${shown}")
# One generator expression a flag: a list inside one would be split apart.
foreach(lang C CXX)
  set(opts ${deb_CPPFLAGS} ${deb_${lang}FLAGS})
  list(TRANSFORM opts REPLACE "^(.+)$" "$<$<COMPILE_LANGUAGE:${lang}>:\\1>")
  add_compile_options(${opts})
endforeach()
add_link_options(${deb_LDFLAGS})
