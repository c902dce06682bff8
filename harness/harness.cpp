// SPDX-License-Identifier: MIT
#include "harness/harness.h"

#include "radio/device.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace harness {

using sandbox::Child;
using sandbox::failed;
using sandbox::Fd;

bool take_terminal(const std::string &slave, bool std_streams, std::string *why)
{
    if (setsid() < 0)
        return failed(why, "setsid");
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return failed(why, "open " + slave);
    if (ioctl(fd, TIOCSCTTY, 0) != 0)
        return failed(why, "TIOCSCTTY " + slave);
    if (std_streams) {
        for (int target = 0; target <= 2; ++target) {
            if (dup2(fd, target) < 0)
                return failed(why, "dup2");
        }
    }
    if (fd > 2)
        (void)close(fd);
    return true;
}

bool takes_no_terminal(const std::function<bool()> &body)
{
    Child child = Child::run([&] {
        if (setsid() < 0 || !body())
            return 2;
        return open("/dev/tty", O_RDONLY) < 0 ? 0 : 1;
    });
    const auto status = child.wait_for(std::chrono::seconds(5));
    return status && sandbox::shell_status(*status) == 0;
}

bool port_namespace_available(std::string *why)
{
    auto pty = sandbox::open_pty();
    int report[2];
    if (!pty || pipe2(report, O_CLOEXEC) != 0)
        return failed(why, "pty or pipe");
    Fd read_end(report[0]);
    Fd write_end(report[1]);
    Child probe = Child::run([&] {
        std::string reason;
        if (sandbox::enter_port_namespace(pty->slave, device_port, &reason))
            return 0;
        (void)sandbox::write_all(write_end.get(), reason);
        return 1;
    });
    write_end.reset();
    const auto status = probe.wait_for(std::chrono::seconds(10));
    std::string reason;
    read_for(read_end.get(), &reason, std::chrono::milliseconds(100));
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        return true;
    if (why != nullptr)
        *why = reason.empty() ? "namespace probe did not finish" : reason;
    return false;
}

std::string stat_fields(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= line.size())
        return "";
    return line.substr(name_end + 2);
}

bool wait_asleep(pid_t pid, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    do {
        if (stat_fields(pid).compare(0, 1, "S") == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

double cpu_ns(pid_t pid)
{
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = NAN;
    if (schedstat >> ns)
        return ns;
    // Without schedstat: utime and stime, fields 14 and 15 of stat, in
    // clock ticks.
    const std::string after_name = stat_fields(pid);
    if (after_name.empty())
        return NAN;
    std::istringstream fields(after_name);
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i >= 14)
            ticks += std::stod(f);
    }
    return ticks * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {

int ms_left(std::chrono::steady_clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what fd has to out; false once fd has ended (end of file, error).
bool take(int fd, std::string *out)
{
    char buf[4096];
    const ssize_t got = read(fd, buf, sizeof buf);
    if (got > 0) {
        out->append(buf, static_cast<size_t>(got));
        return true;
    }
    return got < 0 && (errno == EAGAIN || errno == EINTR);
}

// Writes what fd has room for; returns how much that was.
size_t put(int fd, const std::string &input, size_t sent)
{
    const ssize_t n = write(fd, input.data() + sent, input.size() - sent);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool converse_nonblocking(int fd, const std::string &input, std::string *out,
                          const std::function<bool(const std::string &)> &pred,
                          std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    size_t sent = 0;
    while (sent < input.size() || !pred(*out)) {
        const int left = ms_left(end);
        const bool writing = sent < input.size();
        pollfd p = {fd, static_cast<short>(writing ? POLLIN | POLLOUT : POLLIN), 0};
        const int n = left > 0 ? poll(&p, 1, left) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if ((p.revents & POLLOUT) != 0)
            sent += put(fd, input, sent);
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !take(fd, out))
            return sent == input.size() && pred(*out);
    }
    return true;
}

} // namespace

bool converse(int fd, const std::string &input, std::string *out,
              const std::function<bool(const std::string &)> &pred, std::chrono::milliseconds limit)
{
    // Non-blocking while we talk: a write takes what there is room for and
    // never waits on a peer that is itself waiting for us to read.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    const bool done = converse_nonblocking(fd, input, out, pred, limit);
    (void)fcntl(fd, F_SETFL, flags);
    return done;
}

bool read_until(int fd, std::string *out, const std::function<bool(const std::string &)> &pred,
                std::chrono::milliseconds limit)
{
    return converse(fd, "", out, pred, limit);
}

void read_for(int fd, std::string *out, std::chrono::milliseconds limit)
{
    (void)read_until(
        fd, out, [](const std::string &) { return false; }, limit);
}

std::vector<std::string> command(std::vector<std::string> argv)
{
    std::vector<std::string> words;
    const char *wrapper = getenv("RADIO_TEST_WRAPPER");
    std::istringstream in(wrapper != nullptr ? wrapper : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    argv.insert(argv.begin(), words.begin(), words.end());
    return argv;
}

int open_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1; // the listing's own descriptor
}

std::string hex(const std::string &bytes)
{
    std::string out;
    char b[4];
    for (const char c : bytes) {
        (void)snprintf(b, sizeof b, "%s%02x", out.empty() ? "" : " ",
                       static_cast<unsigned char>(c));
        out += b;
    }
    return out;
}

std::string echo_mismatch(const std::vector<int> &keys, const std::vector<std::string> &names,
                          const std::string &echo)
{
    size_t at = 0;
    // The next n keys' texts, or "<missing>" when the echo ends first or is
    // not in the echo's shape.  A key's text holds no newline: a newline
    // key shows as ^J.
    const auto take = [&](size_t n) {
        std::string got;
        for (size_t k = 0; k < n; ++k) {
            if (at >= echo.size() || echo[at] != '\n')
                return std::string("<missing>");
            const size_t end = echo.find('\n', at + 1);
            if (end == std::string::npos || end == at + 1)
                return std::string("<missing>");
            got += echo.substr(at + 1, end - at - 1);
            at = end + 1;
        }
        return got;
    };
    for (size_t i = 0; i < keys.size(); ++i) {
        (void)take(static_cast<size_t>(keys[i]));
        if (take(1) != "8")
            return "press " + names[i] + " gave another number of keys than " +
                   std::to_string(keys[i]);
    }
    return at == echo.size() ? "" : "keys too many after the last press";
}

const std::vector<SentKey> &keys_in_pieces()
{
    static const std::vector<SentKey> keys = {
        {"Up", "\x1b[A", ""},
        {"Down", "\x1b[B", ""},
        {"Right", "\x1b[C", ""},
        {"Left", "\x1b[D", ""},
        {"Home", "\x1b[H", ""},
        {"Insert", "\x1b[2~", ""},
        {"Page Down", "\x1b[6~", ""},
        {"F1 (SS3)", "\x1bOP", ""},
        {"F1 (CSI)", "\x1b[11~", ""},
        {"F5", "\x1b[15~", ""},
        {"F12", "\x1b[24~", ""},
        {"keypad 8 (keypad mode)", "\x1bOx", "\x20"},
        {"Ctrl+Up", "\x1b[1;5A", ""},
        {"Alt+Up (rxvt-unicode)", "\x1b\x1b[A", ""},
        {"Alt+8",
         "\x1b"
         "8",
         "\x20"},
        {"Escape [ 5 6 ~", "\x1b[56~", "\x20"},
    };
    return keys;
}

bool type_keys(int fd, const std::vector<SentKey> &keys, bool apart, std::chrono::milliseconds gap,
               std::string *echo)
{
    const auto any = [](const std::string &) { return true; };
    for (const SentKey &k : keys) {
        for (const std::string &press : {k.bytes, std::string("8")}) {
            const size_t size = apart ? 1 : press.size();
            for (size_t at = 0; at < press.size(); at += size) {
                if (!converse(fd, press.substr(at, size), echo, any, std::chrono::seconds(2)))
                    return false;
                std::this_thread::sleep_for(gap);
            }
        }
    }
    return true;
}

std::string commands_of(const std::vector<SentKey> &keys)
{
    std::string bytes;
    for (const SentKey &k : keys)
        bytes += k.command + "\x20";
    return bytes;
}

std::string pieces_mismatch(const std::vector<SentKey> &keys, const std::string &echo)
{
    std::string plain = echo;
    plain.erase(std::remove(plain.begin(), plain.end(), '\r'), plain.end());
    std::vector<std::string> names(keys.size());
    std::transform(keys.begin(), keys.end(), names.begin(),
                   [](const SentKey &k) { return std::string(k.name); });
    return echo_mismatch(std::vector<int>(keys.size(), 1), names, plain);
}

bool wait_key_mode(int master, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        termios t{};
        // On a master, the terminal calls read the slave's settings.
        if (tcgetattr(master, &t) == 0 && (t.c_lflag & ICANON) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

Session::Session(const std::function<void(const Report &)> &body, Start start)
{
    auto pty = sandbox::open_pty();
    int pipe_ends[2];
    int go_ends[2];
    if (!pty || pipe2(pipe_ends, O_CLOEXEC) != 0)
        throw std::runtime_error("no pty or pipe");
    sandbox::Fd to_parent(pipe_ends[1]);
    reports_.reset(pipe_ends[0]);
    if (pipe2(go_ends, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    sandbox::Fd wait_go(go_ends[0]);
    go_.reset(go_ends[1]);
    pty_ = std::move(*pty);
    const std::string terminal = pty_.slave;
    child_ = sandbox::Child::run([&] {
        // The parent's end only: while the child held a copy, closing the
        // master would not hang the terminal up.
        pty_.master.reset();
        std::string why;
        if (!take_terminal(terminal, false, &why)) {
            (void)sandbox::write_all(to_parent.get(), "setup failed: " + why + "\n");
            return 120;
        }
        char word = 0;
        if (start == Start::on_go && read(wait_go.get(), &word, 1) != 1)
            return 121;
        body([&](const std::string &line) {
            (void)sandbox::write_all(to_parent.get(), line + "\n");
        });
        return 0;
    });
}

void Session::go()
{
    if (!sandbox::write_all(go_.get(), "g"))
        throw std::runtime_error("the child is gone");
}

std::string Session::next(std::chrono::milliseconds limit)
{
    const auto has_line = [](const std::string &s) { return s.find('\n') != std::string::npos; };
    if (!read_until(reports_.get(), &pending_, has_line, limit))
        return pending_.empty() ? "<timeout>" : "<closed>";
    const auto end = pending_.find('\n');
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

int Session::finish(std::chrono::milliseconds limit)
{
    const auto status = child_.wait_for(limit);
    return status ? sandbox::shell_status(*status) : -1;
}

} // namespace harness
