// Keys from the controlling terminal, terminal settings, and Sleep.

#include "console/console.h"

#include "console/sequence_number.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

int32_t kbport = -1;

namespace {

constexpr unsigned char escape = 27;
constexpr unsigned char del = 127;
constexpr unsigned char backspace = 8;

// fd_set has FD_SETSIZE bits; FD_SET with anything else writes outside it.
bool pollable(int32_t fd)
{
    return fd >= 0 && fd < FD_SETSIZE;
}

// ECMA-48 ends a control sequence with one byte from '@' to '~': a letter
// for the cursor keys, '~' for the editing and function keys.
bool is_final_byte(unsigned char c)
{
    return c >= 0x40 && c <= 0x7E;
}

[[noreturn]] void fail(const char *format)
{
    // The path is asked for afresh: the message names the terminal as the
    // platform names it now.
    (void)fprintf(stderr, format, ctermid(nullptr));
    exit(-1);
}

// Key mode is made from the record the terminal itself holds, so the fields
// not listed keep the user's values (VMIN and VTIME included: usually 1 and
// 0, a read waits for one byte).
//
//   field    value                 what the user would see otherwise
//   c_iflag  0                     ICRNL: Enter would arrive as 10, not 13;
//                                  IXON: Ctrl-S would freeze the screen and
//                                  Ctrl-Q would never arrive; ISTRIP: 8-bit
//                                  keys would lose their top bit; BRKINT: a
//                                  break would flush input
//   c_oflag  OPOST | ONLCR         the echo's "\n" starts a new line at the
//                                  left; without ONLCR it would stair-step
//   c_cflag  CS8 | CREAD, speed    8-bit keys, receiver on.  The line keeps
//            bits and CLOCAL kept  its own speed (speed 0 would drop DTR and
//                                  RTS and hang up a modem or terminal
//                                  server) and its CLOCAL (without it, any
//                                  later open of the console would wait for
//                                  a carrier that a three-wire line never
//                                  raises)
//   c_lflag  IEXTEN only           ICANON off: a key is readable without
//                                  Enter; ECHO off: the terminal does not
//                                  print the key, the program does; ISIG
//                                  off: Ctrl-C, Ctrl-Z and Ctrl-\ are keys,
//                                  not signals, so the program ends only on
//                                  its own key.  IEXTEN acts only in
//                                  canonical mode
//   VERASE   0x7F (DEL)            the erase key most terminals send, for a
//                                  record later put back into canonical mode
void to_key_mode(termios *t)
{
    t->c_iflag = 0;
    t->c_oflag = OPOST | ONLCR;
    t->c_cflag = (t->c_cflag & (CBAUD | CIBAUD | CLOCAL)) | CS8 | CREAD;
    t->c_lflag = IEXTEN;
    t->c_cc[VERASE] = del;
}

// Opens the controlling terminal into kbport and puts it into key mode.
// Leaves kbport at -1 when it cannot be opened or could not be polled.
void open_console()
{
    // O_NOCTTY: ctermid names the terminal we already have; it must never
    // make some other device our terminal.
    const int fd = open(ctermid(nullptr), O_RDONLY | O_NOCTTY);
    if (fd < 0)
        return;
    if (!pollable(fd)) {
        (void)close(fd);
        return;
    }
    kbport = fd;

    termios t{};
    if (tcgetattr(kbport, &t) != 0)
        fail("\nERROR:  unable to get tty attributes for %s\n");
    to_key_mode(&t);
    if (tcsetattr(kbport, TCSANOW, &t) != 0)
        (void)fprintf(stderr, "\nERROR:  unable to set tty attributes for %s\n", ctermid(nullptr));
}

// Reads the rest of a sequence after Escape '[' up to and including its
// final byte (or until a read yields nothing), converting its number as it
// goes.  Returns the number's low 8 bits.
signed char read_sequence()
{
    sequence_number number;
    sequence_number_start(&number);
    unsigned char c = 0;
    while (read(kbport, &c, 1) == 1 && !is_final_byte(c))
        sequence_number_feed(&number, c);
    const auto low = static_cast<unsigned char>(sequence_number_value(&number));
    return static_cast<signed char>(low);
}

} // namespace

extern "C" const char *posix_console_name(void)
{
    return ctermid(nullptr);
}

extern "C" struct termios *posix_get_termsettings(const char *path)
{
    if (path == nullptr)
        return nullptr;
    // O_NONBLOCK: this descriptor only reads settings, and must not wait for
    // the carrier of a line that has none.
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    auto *settings = static_cast<termios *>(malloc(sizeof(termios)));
    if (settings != nullptr && tcgetattr(fd, settings) != 0) {
        free(settings);
        settings = nullptr;
    }
    // Nothing was written through fd: a failing close loses nothing.
    (void)close(fd);
    return settings;
}

extern "C" int32_t posix_set_termsettings(const char *path, const struct termios *settings)
{
    if (path == nullptr || settings == nullptr)
        return 0;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 0;
    const int32_t applied = tcsetattr(fd, TCSANOW, settings) == 0 ? 1 : 0;
    (void)close(fd);
    return applied;
}

extern "C" int32_t posix_kbhit(void)
{
    // Zero: the poll never waits.
    static timeval tvptr = {0, 0};

    if (kbport == -1) {
        open_console();
        if (kbport == -1)
            return 0;
        tvptr.tv_sec = 0;
        tvptr.tv_usec = 0;
    }
    if (!pollable(kbport))
        return 0;

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(kbport, &readable);
    const int n = select(kbport + 1, &readable, nullptr, nullptr, &tvptr);
    if (n == -1) {
        // A signal that arrives during the poll says nothing about the
        // terminal: no key yet, not a failure.
        if (errno == EINTR)
            return 0;
        (void)fputs("\nERROR:  posix_kbhit():  select() returned -1\n", stderr);
        exit(-1);
    }
    return n > 0 && FD_ISSET(kbport, &readable) ? 1 : 0;
}

extern "C" int32_t posix_kbwait(int32_t timeout_ms)
{
    if (!pollable(kbport))
        return 0;
    pollfd console = {kbport, POLLIN, 0};
    // Readable, hung up or in error alike: a read would not wait.
    return poll(&console, 1, timeout_ms < 0 ? -1 : timeout_ms) > 0 ? 1 : 0;
}

extern "C" signed char posix_getkey(signed char *key)
{
    if (kbport < 0)
        return 0;

    unsigned char byte = 0;
    (void)read(kbport, &byte, 1);
    // Whether an Escape starts a sequence is decided by what has already
    // arrived: a terminal sends a whole sequence at once, a person cannot
    // type the next key that fast.
    if (byte == escape && posix_kbhit() != 0) {
        (void)read(kbport, &byte, 1);
        if (byte == '[' && posix_kbhit() != 0) {
            *key = read_sequence();
            return 1;
        }
        *key = static_cast<signed char>(byte);
        return 0;
    }
    *key = static_cast<signed char>(byte == del ? backspace : byte);
    return 0;
}

extern "C" int32_t Sleep(int32_t ms)
{
    // Unsigned: a large ms wraps instead of overflowing a signed product.
    return usleep(static_cast<useconds_t>(static_cast<uint32_t>(ms) * 1000U));
}
