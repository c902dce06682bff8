// SPDX-License-Identifier: MIT
// The benchmark's floor: the least a key-to-line program can do.  The port
// opened as radio opens it, the console raw, then one blocking one-byte read
// from it and one one-byte write to the port per key.  What it costs is
// what the harness costs.

#include "radio/device.h"
#include "serial/serial.h"

#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : device_port;
    const int32_t port = posix_com_open(path, device_line.baud, device_line.parity,
                                        device_line.data_bits, device_line.stop_bits, 0);
    termios console{};
    if (port == -1 || tcgetattr(STDIN_FILENO, &console) != 0)
        return 1;
    cfmakeraw(&console);
    if (tcsetattr(STDIN_FILENO, TCSANOW, &console) != 0)
        return 1;
    char c = 0;
    while (read(STDIN_FILENO, &c, 1) == 1) {
        if (write(port, &c, 1) != 1)
            return 1;
    }
    return 0;
}
