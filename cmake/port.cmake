# SPDX-License-Identifier: MIT
# The ports radio can be built for, and the stand-in can lay a pty over: an
# absolute path under /dev whose every part is a plain name (not empty, not
# "." or "..", so that the path cannot lead out of /dev), in characters that
# are safe as they are in a C string, a file name and a manual page: letters,
# digits and + - . : = @ _ (what udev leaves in /dev/serial/by-id/ and
# by-path/ names).  Not under /dev/pts, where ptys come and go, and which the
# stand-in binds from the real /dev; nor under /dev/fd, /dev/shm or
# /dev/mqueue, nor one of the nodes every system has that are no serial
# line (/dev/tty is the terminal radio reads its keys from, /dev/stdin and
# the like lead into /proc, /dev/null swallows every command).
#
# One rule, read three ways: here, by the stand-in (sandbox/, as POSIX
# extended regular expressions) and by scripts/install (which reads the two
# set() lines below as they stand, before CMake is installed).
set(RADIO_PORT_RULE "^/dev/([-+.:=@_A-Za-z0-9]*[-+:=@_A-Za-z0-9][-+.:=@_A-Za-z0-9]*/)*[-+.:=@_A-Za-z0-9]*[-+:=@_A-Za-z0-9][-+.:=@_A-Za-z0-9]*$")
set(RADIO_PORT_REFUSED "^/dev/(pts|fd|shm|mqueue)(/|$)|^/dev/(tty|console|ptmx|null|zero|full|random|urandom|stdin|stdout|stderr|kmsg|mem)$")

if(NOT RADIO_PORT MATCHES "${RADIO_PORT_RULE}" OR RADIO_PORT MATCHES "${RADIO_PORT_REFUSED}")
  message(FATAL_ERROR "RADIO_PORT '${RADIO_PORT}' is not a port radio can be built for: an "
    "absolute path under /dev (not /dev/pts, nor /dev/tty, /dev/null or the like), with no "
    "empty, . or .. part, in letters, "
    "digits and + - . : = @ _ only")
endif()
