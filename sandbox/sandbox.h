/* SPDX-License-Identifier: MIT */
// What lets a pseudo-terminal stand in for the serial port: pty pairs, a
// private mount namespace in which a pty lies over the port's path, and a
// child process started and reaped.  radio-sim's demo runs radio this way;
// the tests and the benchmark do too, so that no run of radio ever reaches
// the machine's own serial port.
#ifndef RADIO_SANDBOX_SANDBOX_H
#define RADIO_SANDBOX_SANDBOX_H

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

// Owns one descriptor; closes it once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    ~Fd();

    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A pseudo-terminal: the master end, and the slave's path.
struct Pty {
    Fd master;
    std::string slave;
};

// A new pty whose master is O_NOCTTY and close-on-exec, or nullopt.
std::optional<Pty> open_pty();

// Puts the pty at slave into a raw state, so that bytes written on either
// side arrive unchanged on the other (used before a program configures it).
bool make_raw(const std::string &slave);

// Whether what a stand-in needs is mounted: /proc and a devpts on /dev/pts
// (a chroot or a container may lack either).  Returns false with *why
// saying which is missing and how to mount it.
bool stand_in_mounts(std::string *why);

// In a freshly forked child: enters a private mount namespace in which the
// path port is the pty slave at slave.  Works as root (a new mount
// namespace) and as a normal user (with a user namespace too), and in a
// chroot whose / is not a mount point as root, when the mount that / lies
// on is not shared with other namespaces.  An empty slave makes a namespace
// in which port does not exist at all.  Where port does not exist, a tmpfs
// with the few devices a console program needs is laid over /dev, with the
// folders the port lies in (/dev/serial/by-id/...); port must then be one
// radio can be built for (cmake/port.cmake).  Returns false with *why set.
bool enter_port_namespace(const std::string &slave, const std::string &port, std::string *why);

// Lays the pty slave at slave in place of the pty at port in the mount
// namespace of the process pid, which entered it with
// enter_port_namespace, while it runs: the port plugged back in, a new
// device on the same path.  Both paths are taken as that process sees
// them.  Works where enter_port_namespace worked, as root or as the same
// user.  Returns false with *why set.
bool lay_port_in(pid_t pid, const std::string &slave, const std::string &port, std::string *why);

// A child process, killed and reaped when its owner lets go of it.
class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    ~Child();

    // Forks; the child runs setup (which may _exit) and then execs argv.
    static Child spawn(const std::function<void()> &setup, const std::vector<std::string> &argv);
    // Forks; the child runs body and _exits with its result.
    static Child run(const std::function<int()> &body);

    pid_t pid() const { return pid_; }
    // The wait status, or nullopt when the child has not ended in time.
    std::optional<int> wait_for(std::chrono::milliseconds limit);
    void kill_now();

private:
    pid_t pid_ = -1;
};

// The exit status of a wait status the way a shell reports it: the exit
// code, or 128 + signal.
int shell_status(int wait_status);

// Sets *why (when not null) to what failed and errno's text; returns false,
// so that a step can end with `return failed(why, "open " + path)`.
bool failed(std::string *why, const std::string &what);

// A descriptor that becomes readable when the process pid ends (pidfd_open),
// or -1 where the kernel or an emulator has none.
int pidfd_of(pid_t pid);

// Writes all of data, or returns false.
bool write_all(int fd, const std::string &data);

} // namespace sandbox

#endif
