// SPDX-License-Identifier: MIT
#include "harness/harness.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace harness {

namespace {

bool failed(std::string *why, const std::string &what)
{
    if (why != nullptr)
        *why = what + ": " + strerror(errno);
    return false;
}

bool write_file(const std::string &path, const std::string &text)
{
    Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return fd && write_all(fd.get(), text);
}

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// A normal user may make a mount namespace only inside a user namespace of
// its own, in which it is root.
bool unshare_mounts(std::string *why)
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0)
        return unshare(CLONE_NEWNS) == 0 || failed(why, "unshare(CLONE_NEWNS)");
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return failed(why, "unshare(CLONE_NEWUSER | CLONE_NEWNS)");
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
        return failed(why, "writing the user namespace's id maps");
    return true;
}

bool bind(const std::string &from, const std::string &to, std::string *why)
{
    if (mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0)
        return true;
    return failed(why, "bind " + from + " over " + to);
}

// Binds from over a new empty file or folder at to.
bool bind_new(const std::string &from, const std::string &to, bool folder, std::string *why)
{
    const bool made = folder
                          ? mkdir(to.c_str(), 0755) == 0
                          : Fd(open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644)).get() >= 0;
    if (!made)
        return failed(why, "creating " + to);
    return bind(from, to, why);
}

// For a machine without the port's device node: a small /dev of our own,
// laid over the real one in this namespace only.
bool lay_dev(const std::string &slave, const std::string &port, std::string *why)
{
    const std::string::size_type slash = port.rfind('/');
    if (port.compare(0, slash + 1, "/dev/") != 0 || port.size() <= 5) {
        errno = ENOENT;
        return failed(why, port);
    }
    char folder[] = "/tmp/radio-dev.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return failed(why, "mkdtemp");
    const std::string dev = folder;
    if (mount("tmpfs", folder, "tmpfs", 0, "mode=755") != 0)
        return failed(why, "tmpfs on " + dev);
    static const char *const devices[] = {"null",    "zero", "full", "random",
                                          "urandom", "tty",  "ptmx"};
    const bool bound = std::all_of(std::begin(devices), std::end(devices), [&](const char *name) {
        const std::string real = std::string("/dev/") + name;
        return !exists(real) || bind_new(real, dev + "/" + name, false, why);
    });
    if (!bound)
        return false;
    if (!bind_new("/dev/pts", dev + "/pts", true, why) ||
        (!slave.empty() && !bind_new(slave, dev + port.substr(4), false, why)))
        return false;
    static const char *const links[][2] = {{"fd", "/proc/self/fd"},
                                           {"stdin", "/proc/self/fd/0"},
                                           {"stdout", "/proc/self/fd/1"},
                                           {"stderr", "/proc/self/fd/2"}};
    for (const auto &link : links) {
        if (symlink(link[1], (dev + "/" + link[0]).c_str()) != 0)
            return failed(why, "symlink " + dev + "/" + link[0]);
    }
    if (mount(folder, "/dev", nullptr, MS_MOVE, nullptr) != 0)
        return failed(why, "moving " + dev + " onto /dev");
    (void)rmdir(folder);
    return true;
}

} // namespace

Fd &Fd::operator=(Fd &&other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

Fd::~Fd()
{
    reset();
}

int Fd::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        (void)close(fd_);
    fd_ = fd;
}

std::optional<Pty> open_pty()
{
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0)
        return std::nullopt;
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0)
        return std::nullopt;
    return Pty{std::move(master), name};
}

bool make_raw(const std::string &slave)
{
    Fd fd(open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t{};
    if (!fd || tcgetattr(fd.get(), &t) != 0)
        return false;
    cfmakeraw(&t);
    return tcsetattr(fd.get(), TCSANOW, &t) == 0;
}

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

bool enter_port_namespace(const std::string &slave, const std::string &port, std::string *why)
{
    if (!unshare_mounts(why))
        return false;
    // Private: nothing mounted here ever shows outside this namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failed(why, "making / private");
    if (exists(port) && !slave.empty())
        return bind(slave, port, why);
    return lay_dev(slave, port, why);
}

bool port_namespace_available(std::string *why)
{
    auto pty = open_pty();
    int report[2];
    if (!pty || pipe2(report, O_CLOEXEC) != 0)
        return failed(why, "pty or pipe");
    Fd read_end(report[0]);
    Fd write_end(report[1]);
    Child probe = Child::run([&] {
        std::string reason;
        if (enter_port_namespace(pty->slave, "/dev/ttyS0", &reason))
            return 0;
        (void)write_all(write_end.get(), reason);
        return 1;
    });
    write_end.reset();
    const auto status = probe.wait_for(std::chrono::seconds(10));
    std::string reason;
    (void)read_until(
        read_end.get(), &reason, [](const std::string &) { return false; },
        std::chrono::milliseconds(100));
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        return true;
    if (why != nullptr)
        *why = reason.empty() ? "namespace probe did not finish" : reason;
    return false;
}

Child::Child(Child &&other) noexcept : pid_(other.pid_)
{
    other.pid_ = -1;
}

Child &Child::operator=(Child &&other) noexcept
{
    if (this != &other) {
        kill_now();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

Child::~Child()
{
    kill_now();
}

Child Child::spawn(const std::function<void()> &setup, const std::vector<std::string> &argv)
{
    // execv's argument list, as C strings that live as long as argv.
    std::vector<char *> args(argv.size() + 1, nullptr);
    std::transform(argv.begin(), argv.end(), args.begin(),
                   [](const std::string &a) { return const_cast<char *>(a.c_str()); });
    return run([&] {
        setup();
        execv(args[0], args.data());
        (void)fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
        return 127;
    });
}

Child Child::run(const std::function<int()> &body)
{
    Child child;
    child.pid_ = fork();
    if (child.pid_ == 0)
        _exit(body());
    return child;
}

std::optional<int> Child::wait_for(std::chrono::milliseconds limit)
{
    if (pid_ <= 0)
        return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return status;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void Child::kill_now()
{
    if (pid_ <= 0)
        return;
    (void)kill(pid_, SIGKILL);
    int status = 0;
    (void)waitpid(pid_, &status, 0);
    pid_ = -1;
}

double cpu_ns(pid_t pid)
{
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = NAN;
    if (schedstat >> ns)
        return ns;
    // Without schedstat: utime and stime, fields 14 and 15 of stat, counted
    // after the ')' that ends the command name, in clock ticks.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto name_end = line.rfind(')');
    if (name_end == std::string::npos || name_end + 2 > line.size())
        return NAN;
    std::istringstream fields(line.substr(name_end + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i >= 14)
            ticks += std::stod(f);
    }
    return ticks * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int shell_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
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

bool write_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace harness
