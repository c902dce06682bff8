// SPDX-License-Identifier: MIT
// uart-probe: runs inside the test VM, beside radio, and reports on standard
// output what Linux's own serial driver holds.  Linked statically; the VM
// has nothing but busybox.
//
//   uart-probe settings DEV      the four flag words and the speeds
//   uart-probe modem DEV         the DTR and RTS lines
//   uart-probe speed DEV BAUD    sets DEV's speed (and CLOCAL), nothing else
//   uart-probe wait-keymode DEV  waits until DEV leaves canonical mode
//   uart-probe table DEV         posix_com_open over a table of settings
//   uart-probe receive DEV N     reads N bytes with the layer, answers "pong"
//   uart-probe frames DEV        posix_com_open with 8N1, 7E1 and 5N1 at 4800:
//                                the result, errno and descriptors left open
//   uart-probe leds DEV          a virtual terminal's NumLock
//   uart-probe record DEV        what the terminal sends, in hex, until 'q'

#include "serial/serial.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/kd.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// O_NONBLOCK: only settings are read or written through it, and the open
// must never wait for a carrier.
int open_quietly(const char *dev)
{
    return open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

int settings(const char *dev)
{
    const int fd = open_quietly(dev);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        printf("SETTINGS %s error %s\n", dev, strerror(errno));
        return 1;
    }
    printf("SETTINGS %s iflag=0%o oflag=0%o cflag=0%o lflag=0%o ispeed=%u ospeed=%u\n", dev,
           t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t), cfgetospeed(&t));
    close(fd);
    return 0;
}

int modem(const char *dev)
{
    const int fd = open_quietly(dev);
    int lines = 0;
    if (fd < 0 || ioctl(fd, TIOCMGET, &lines) != 0) {
        printf("MODEM %s error %s\n", dev, strerror(errno));
        return 1;
    }
    printf("MODEM %s dtr=%d rts=%d\n", dev, (lines & TIOCM_DTR) != 0, (lines & TIOCM_RTS) != 0);
    close(fd);
    return 0;
}

int speed(const char *dev, const char *baud)
{
    const std::string rate = baud;
    const speed_t code = rate == "115200" ? B115200 : rate == "1200" ? B1200 : B9600;
    const int fd = open_quietly(dev);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return 1;
    cfsetispeed(&t, code);
    cfsetospeed(&t, code);
    t.c_cflag |= CLOCAL;
    const int r = tcsetattr(fd, TCSANOW, &t);
    close(fd);
    printf("SPEED %s %s %s\n", dev, baud, r == 0 ? "ok" : strerror(errno));
    return r == 0 ? 0 : 1;
}

int wait_keymode(const char *dev)
{
    for (int i = 0; i < 2000; ++i) {
        const int fd = open_quietly(dev);
        termios t{};
        const bool keymode = fd >= 0 && tcgetattr(fd, &t) == 0 && (t.c_lflag & ICANON) == 0;
        if (fd >= 0)
            close(fd);
        if (keymode) {
            printf("KEYMODE %s\n", dev);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    printf("NO-KEYMODE %s\n", dev);
    return 1;
}

struct Row {
    int32_t baud;
    char parity;
    int32_t data;
    int32_t stop;
    uint32_t cread;
};

// Every size, parity and stop bit count at 4800; every speed at 8N1 and
// 7E2; each with and without the receiver.
std::vector<Row> rows()
{
    std::vector<Row> all;
    for (const uint32_t cread : {0U, static_cast<uint32_t>(CREAD)}) {
        for (int32_t data = 5; data <= 8; ++data) {
            for (const char parity : {'N', 'n', 'O', 'o', 'E', 'e'}) {
                all.push_back({4800, parity, data, 1, cread});
                all.push_back({4800, parity, data, 2, cread});
            }
        }
        for (const int32_t baud : {50, 134, 1200, 9600, 115200}) {
            all.push_back({baud, 'N', 8, 1, cread});
            all.push_back({baud, 'e', 7, 2, cread});
        }
    }
    return all;
}

int table(const char *dev)
{
    for (const Row &r : rows()) {
        const int32_t fd = posix_com_open(dev, r.baud, r.parity, r.data, r.stop, r.cread);
        termios t{};
        printf("TABLE %d %c %d %d %u ", r.baud, r.parity, r.data, r.stop, r.cread);
        if (fd < 0)
            printf("refused errno=%d\n", errno);
        else if (tcgetattr(fd, &t) != 0)
            printf("error\n");
        else
            printf("cflag=0%o ispeed=%u ospeed=%u\n", t.c_cflag, cfgetispeed(&t), cfgetospeed(&t));
        (void)posix_com_close(fd);
    }
    printf("TABLE-END\n");
    return 0;
}

int receive(const char *dev, int count)
{
    const int32_t port = posix_com_open(dev, 4800, 'N', 8, 1, CREAD);
    if (port < 0) {
        printf("RX-ERROR %s\n", strerror(errno));
        return 1;
    }
    printf("RX-READY\n");
    (void)fflush(stdout);
    std::string got;
    while (static_cast<int>(got.size()) < count) {
        pollfd p = {port, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            break;
        char byte = 0;
        while (posix_com_dataready(port) == 1 && posix_com_read(port, &byte) == 1)
            got += byte;
    }
    printf("RX");
    for (const char c : got)
        printf(" %02x", static_cast<unsigned char>(c));
    printf("\nTX %d\n", posix_com_write_string(port, "pong"));
    tcdrain(port);
    posix_com_close(port);
    return 0;
}

} // namespace

// How many descriptors this process has open.
int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return count;
}

int frames(const char *dev)
{
    const struct {
        char parity;
        int32_t data;
    } asked[] = {{'N', 8}, {'E', 7}, {'N', 5}};
    for (const auto &a : asked) {
        const int before = open_descriptors();
        errno = 0;
        const int32_t fd = posix_com_open(dev, 4800, a.parity, a.data, 1, 0);
        const int why = errno;
        const int left = open_descriptors() - before;
        printf("FRAME %c%d %s errno=%d left=%d\n", a.parity, a.data, fd >= 0 ? "open" : "refused",
               fd >= 0 ? 0 : why, fd >= 0 ? left - 1 : left);
        (void)posix_com_close(fd);
    }
    return 0;
}

// The keyboard's lock flags on a virtual terminal (KDGKBLED).
int leds(const char *dev)
{
    const int fd = open_quietly(dev);
    char flags = 0;
    if (fd < 0 || ioctl(fd, KDGKBLED, &flags) != 0) {
        printf("LEDS %s error %s\n", dev, strerror(errno));
        return 1;
    }
    printf("LEDS %s num=%d\n", dev, (flags & LED_NUM) != 0);
    close(fd);
    return 0;
}

// What the terminal sends: raw mode, then each read in hex on a line of
// its own, until a read of 'q' alone.
int record(const char *dev)
{
    const int fd = open(dev, O_RDWR | O_NOCTTY);
    termios was{};
    if (fd < 0 || tcgetattr(fd, &was) != 0)
        return 1;
    termios raw = was;
    cfmakeraw(&raw);
    (void)tcsetattr(fd, TCSANOW, &raw);
    printf("RECORDING %s\n", dev);
    (void)fflush(stdout);
    for (;;) {
        unsigned char b[64];
        const ssize_t n = read(fd, b, sizeof b);
        if (n <= 0 || (n == 1 && b[0] == 'q'))
            break;
        printf("READ");
        for (ssize_t i = 0; i < n; ++i)
            printf(" %02x", b[i]);
        printf("\n");
        (void)fflush(stdout);
    }
    (void)tcsetattr(fd, TCSANOW, &was);
    close(fd);
    printf("RECORDED\n");
    return 0;
}

int main(int argc, char **argv)
{
    const std::string what = argc > 2 ? argv[1] : "";
    int r = 2;
    if (what == "settings")
        r = settings(argv[2]);
    else if (what == "modem")
        r = modem(argv[2]);
    else if (what == "speed" && argc > 3)
        r = speed(argv[2], argv[3]);
    else if (what == "wait-keymode")
        r = wait_keymode(argv[2]);
    else if (what == "table")
        r = table(argv[2]);
    else if (what == "frames")
        r = frames(argv[2]);
    else if (what == "leds")
        r = leds(argv[2]);
    else if (what == "record")
        r = record(argv[2]);
    else if (what == "receive" && argc > 3)
        r = receive(argv[2], static_cast<int>(strtol(argv[3], nullptr, 10)));
    else
        (void)fprintf(stderr,
                      "usage: uart-probe "
                      "settings|modem|speed|wait-keymode|table|receive|frames|leds|record DEV\n");
    (void)fflush(stdout);
    return r;
}
