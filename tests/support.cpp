// SPDX-License-Identifier: MIT
#include "tests/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace support {

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
    auto pty = harness::open_pty();
    int pipe_ends[2];
    int go_ends[2];
    if (!pty || pipe2(pipe_ends, O_CLOEXEC) != 0)
        throw std::runtime_error("no pty or pipe");
    harness::Fd to_parent(pipe_ends[1]);
    reports_.reset(pipe_ends[0]);
    if (pipe2(go_ends, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    harness::Fd wait_go(go_ends[0]);
    go_.reset(go_ends[1]);
    pty_ = std::move(*pty);
    const std::string terminal = pty_.slave;
    child_ = harness::Child::run([&] {
        // The parent's end only: while the child held a copy, closing the
        // master would not hang the terminal up.
        pty_.master.reset();
        std::string why;
        if (!harness::take_terminal(terminal, false, &why)) {
            (void)harness::write_all(to_parent.get(), "setup failed: " + why + "\n");
            return 120;
        }
        char word = 0;
        if (start == Start::on_go && read(wait_go.get(), &word, 1) != 1)
            return 121;
        body([&](const std::string &line) {
            (void)harness::write_all(to_parent.get(), line + "\n");
        });
        return 0;
    });
}

void Session::go()
{
    if (!harness::write_all(go_.get(), "g"))
        throw std::runtime_error("the child is gone");
}

std::string Session::next(std::chrono::milliseconds limit)
{
    const auto has_line = [](const std::string &s) { return s.find('\n') != std::string::npos; };
    if (!harness::read_until(reports_.get(), &pending_, has_line, limit))
        return pending_.empty() ? "<timeout>" : "<closed>";
    const auto end = pending_.find('\n');
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    return line;
}

int Session::finish(std::chrono::milliseconds limit)
{
    const auto status = child_.wait_for(limit);
    return status ? harness::shell_status(*status) : -1;
}

} // namespace support
