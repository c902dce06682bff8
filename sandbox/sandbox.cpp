// SPDX-License-Identifier: MIT
#include "sandbox/sandbox.h"

#include "posix/errno_kept.h"
#include "posix/write_whole.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <linux/magic.h>
#include <poll.h>
#include <regex.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sandbox {

bool failed(std::string *why, const std::string &what)
{
    if (why != nullptr)
        *why = what + ": " + strerror(errno);
    return false;
}

namespace {

// A failure that no errno describes.
bool refused(std::string *why, const std::string &what)
{
    if (why != nullptr)
        *why = what;
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

bool bind_over(const std::string &from, const std::string &to, std::string *why)
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
    return bind_over(from, to, why);
}

// Whether text matches the POSIX extended regular expression pattern, as
// bash's =~ and CMake's MATCHES match it (this process keeps the C locale).
bool matches(const char *pattern, const std::string &text)
{
    regex_t rx;
    if (regcomp(&rx, pattern, REG_EXTENDED | REG_NOSUB) != 0)
        return false;
    const bool found = regexec(&rx, text.c_str(), 0, nullptr, 0) == 0;
    regfree(&rx);
    return found;
}

// Whether port is one radio can be built for (cmake/port.cmake): its parts
// are plain names, so that the bind cannot lead outside the /dev laid here,
// and it lies outside /dev/pts, which is the real one, bound.
bool port_allowed(const std::string &port)
{
    return port.find('\0') == std::string::npos && matches(RADIO_PORT_RULE, port) &&
           !matches(RADIO_PORT_REFUSED, port);
}

// The id of the mount that path lies on, as mount tables give it.
std::optional<std::string> mount_id(const char *path)
{
    struct statx st {};
    if (statx(AT_FDCWD, path, 0, STATX_MNT_ID, &st) != 0 || (st.stx_mask & STATX_MNT_ID) == 0)
        return std::nullopt;
    return std::to_string(st.stx_mnt_id);
}

// The line of the mount with id in the mount table of any process that
// sees it: ids are unique across namespaces, and a process in a chroot
// does not see the mount its / lies on.
std::optional<std::string> mount_line_elsewhere(const std::string &id)
{
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return std::nullopt;
    std::optional<std::string> found;
    for (const dirent *entry = readdir(proc); entry != nullptr && !found; entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        std::ifstream table(std::string("/proc/") + entry->d_name + "/mountinfo");
        for (std::string line; !found && std::getline(table, line);) {
            if (line.compare(0, id.size() + 1, id + " ") == 0)
                found = line;
        }
    }
    (void)closedir(proc);
    return found;
}

// A mount table's mount point, its octal escapes (\040 for a space) undone.
std::string unescaped(const std::string &field)
{
    std::string out;
    for (std::string::size_type i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// In a chroot, / is a folder inside a mount that lies outside it, and only
// a mount's root can be made private.  The mounts inside are made private
// one by one; the one outside must not be shared (as systemd shares the
// machine's /), or what is mounted on it here would show in the namespaces
// it is shared with.  outer: its id, taken before this namespace was made.
bool make_private_in_chroot(const std::optional<std::string> &outer, std::string *why)
{
    const auto line = outer ? mount_line_elsewhere(*outer) : std::nullopt;
    const std::string in_chroot = "/ is not a mount point (a chroot), and ";
    if (!line) {
        return refused(why, in_chroot + "no mount table in /proc shows the mount it lies on");
    }
    std::istringstream fields(*line);
    for (std::string field; fields >> field && field != "-";) {
        if (field.compare(0, 7, "shared:") == 0) {
            return refused(why, in_chroot +
                                    "the mount it lies on is shared with other namespaces: make "
                                    "the chroot's folder a private mount first (mount --bind "
                                    "DIR DIR; mount --make-private DIR)");
        }
    }
    std::ifstream table("/proc/self/mountinfo");
    for (std::string entry; std::getline(table, entry);) {
        std::istringstream parts(entry);
        std::string skip;
        std::string point;
        if (!(parts >> skip >> skip >> skip >> skip >> point))
            continue;
        point = unescaped(point);
        if (mount(nullptr, point.c_str(), nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return failed(why, "making " + point + " private");
    }
    return true;
}

// Makes the folders that node lies in: a port such as /dev/serial/by-id/NAME
// lies in folders a fresh /dev lacks.
bool make_folders(const std::string &node, std::string *why)
{
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(node).parent_path(), error);
    if (error && why != nullptr)
        *why = "creating the folders of " + node + ": " + error.message();
    return !error;
}

// The /dev laid in folder, filled: the devices a program expects, the real
// ptys, the port bound from slave, and the /proc links.
bool fill_dev(const std::string &dev, const std::string &slave, const std::string &port,
              std::string *why)
{
    static const char *const devices[] = {"null",    "zero", "full", "random",
                                          "urandom", "tty",  "ptmx"};
    const bool bound = std::all_of(std::begin(devices), std::end(devices), [&](const char *name) {
        const std::string real = std::string("/dev/") + name;
        return !exists(real) || bind_new(real, dev + "/" + name, false, why);
    });
    if (!bound)
        return false;
    if (!bind_new("/dev/pts", dev + "/pts", true, why) ||
        (!slave.empty() && (!make_folders(dev + port.substr(4), why) ||
                            !bind_new(slave, dev + port.substr(4), false, why))))
        return false;
    static const char *const links[][2] = {{"fd", "/proc/self/fd"},
                                           {"stdin", "/proc/self/fd/0"},
                                           {"stdout", "/proc/self/fd/1"},
                                           {"stderr", "/proc/self/fd/2"}};
    for (const auto &link : links) {
        if (symlink(link[1], (dev + "/" + link[0]).c_str()) != 0)
            return failed(why, "symlink " + dev + "/" + link[0]);
    }
    return true;
}

// For a machine without the port's device node: a small /dev of our own,
// laid over the real one in this namespace only.  The folder it is made in
// lies in the real /tmp: it is removed whether or not this works.
bool lay_dev(const std::string &slave, const std::string &port, std::string *why)
{
    if (!port_allowed(port)) {
        errno = ENOENT;
        return failed(why, port);
    }
    char folder[] = "/tmp/radio-dev.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return failed(why, "mkdtemp");
    const std::string dev = folder;
    bool laid = false;
    if (mount("tmpfs", folder, "tmpfs", 0, "mode=755") != 0) {
        (void)failed(why, "tmpfs on " + dev);
    } else {
        laid = fill_dev(dev, slave, port, why);
        if (laid && mount(folder, "/dev", nullptr, MS_MOVE, nullptr) != 0)
            laid = failed(why, "moving " + dev + " onto /dev");
        // Detached with all bound below it; after the move, nothing is
        // mounted on the folder any more.
        if (!laid)
            (void)umount2(folder, MNT_DETACH);
    }
    keeping_errno([folder] { (void)rmdir(folder); });
    return laid;
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

bool stand_in_mounts(std::string *why)
{
    struct statfs fs {};
    if (statfs("/proc", &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)
        return refused(why, "/proc is not mounted (mount -t proc proc /proc)");
    if (statfs("/dev/pts", &fs) != 0 || fs.f_type != DEVPTS_SUPER_MAGIC)
        return refused(why, "/dev/pts is not mounted (mount -t devpts devpts /dev/pts)");
    return true;
}

bool enter_port_namespace(const std::string &slave, const std::string &port, std::string *why)
{
    if (!stand_in_mounts(why))
        return false;
    // Taken here: in the new namespace / lies on a copy, which no other
    // process's mount table shows.
    const std::optional<std::string> outer = mount_id("/");
    if (!unshare_mounts(why))
        return false;
    // Private: nothing mounted here ever shows outside this namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        // EINVAL: / is no mount's root, as in a chroot.
        if (errno != EINVAL)
            return failed(why, "making / private");
        if (!make_private_in_chroot(outer, why))
            return false;
    }
    // The real device lies under /dev/null, and the pty over both: when
    // lay_port_in takes the pty away to lay another, what shows for that
    // moment is /dev/null, which no program can open as a port, never the
    // real device.
    if (exists(port) && !slave.empty())
        return bind_over("/dev/null", port, why) && bind_over(slave, port, why);
    return lay_dev(slave, port, why);
}

namespace {

// The same namespace as ours, told by the inode of its /proc link.
bool same_namespace(const std::string &mine, const std::string &theirs)
{
    struct stat a {};
    struct stat b {};
    return stat(mine.c_str(), &a) == 0 && stat(theirs.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
           a.st_dev == b.st_dev;
}

// In a forked child of one thread: joins pid's namespaces and binds there.
// A bind's source and target must both lie in the caller's own namespace,
// so both are looked up only once inside it, through pid's root.
bool lay_port_here(pid_t pid, const std::string &slave, const std::string &port, std::string *why)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const Fd root(open((proc + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const Fd users(open((proc + "/ns/user").c_str(), O_RDONLY | O_CLOEXEC));
    const Fd mounts(open((proc + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
    if (!root || !users || !mounts)
        return failed(why, "open " + proc + "'s namespaces");
    // As a normal user the namespace lies inside a user namespace of its
    // own (unshare_mounts); joining the one we are in already is refused.
    if (!same_namespace("/proc/self/ns/user", proc + "/ns/user") &&
        setns(users.get(), CLONE_NEWUSER) != 0)
        return failed(why, "setns(user)");
    // A mount namespace is joined only with a filesystem context of one's
    // own: an emulator (qemu-user) runs a thread beside us that shares it.
    if (unshare(CLONE_FS) != 0 || setns(mounts.get(), CLONE_NEWNS) != 0)
        return failed(why, "setns(mnt)");
    // A pty there is taken away first: nothing can be mounted over a node
    // that is gone from its devpts, as a hung-up pty's is.  What shows
    // until the bind below is what enter_port_namespace laid beneath it.
    // Only a pty is ever taken away: after a call that failed between the
    // two steps, that underlay is on top, and taking it too would show the
    // real device.
    const std::string at = "/proc/self/fd/" + std::to_string(root.get());
    struct statfs top {};
    if (statfs((at + port).c_str(), &top) != 0)
        return failed(why, "statfs " + port);
    if (top.f_type == DEVPTS_SUPER_MAGIC && umount2((at + port).c_str(), MNT_DETACH) != 0)
        return failed(why, "umount " + port);
    return bind_over(at + slave, at + port, why);
}

} // namespace

bool lay_port_in(pid_t pid, const std::string &slave, const std::string &port, std::string *why)
{
    Child helper = Child::run([&] {
        std::string reason;
        if (lay_port_here(pid, slave, port, &reason))
            return 0;
        (void)fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    });
    const std::optional<int> status = helper.wait_for(std::chrono::seconds(10));
    if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        return true;
    return refused(why, "laying " + slave + " over " + port + " in process " + std::to_string(pid) +
                            "'s namespace failed (its standard error says why)");
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
    // Readable once the child has ended: the wait sleeps until then, or
    // until the time is up.  Without one (a kernel before 5.3, an emulator
    // that lacks the call) the child is looked at every millisecond.
    const Fd ended(pidfd_of(pid_));
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return status;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (r < 0 || left.count() <= 0)
            return std::nullopt;
        pollfd p = {ended.get(), POLLIN, 0};
        if (!ended || poll(&p, 1, static_cast<int>(left.count())) < 0)
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

int shell_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status))
        return 128 + WTERMSIG(wait_status);
    return -1;
}

int pidfd_of(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool write_all(int fd, const std::string &data)
{
    return write_whole(fd, data.data(), data.size());
}

} // namespace sandbox
