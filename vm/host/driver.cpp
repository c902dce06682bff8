// SPDX-License-Identifier: MIT
#include "vm/host/driver.h"

#include "console/key_wait.h"
#include "harness/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vm {

namespace {

int failures = 0;

bool any(const std::string & /*text*/)
{
    return true;
}

} // namespace

void check(bool ok, const std::string &what)
{
    printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok)
        ++failures;
}

int verdict()
{
    return failures == 0 ? 0 : 1;
}

std::string hex(const std::string &bytes)
{
    return bytes.empty() ? "(nothing)" : harness::hex(bytes);
}

std::string octal(unsigned long v)
{
    char b[24];
    (void)snprintf(b, sizeof b, "0%lo", v);
    return b;
}

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void write_log(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr)
        return;
    (void)fputs(text.c_str(), f);
    (void)fclose(f);
}

Reports::Reports(int fd, std::string prefix) : fd_(fd), prefix_(std::move(prefix)) {}

std::string Reports::next(milliseconds limit)
{
    const auto end = Clock::now() + limit;
    const auto has_line = [](const std::string &s) { return s.find('\n') != std::string::npos; };
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
        if (!has_line(pending_) &&
            (left.count() <= 0 || !harness::read_until(fd_, &pending_, has_line, left)))
            return "";
        const auto line_end = pending_.find('\n');
        std::string line = pending_.substr(0, line_end);
        pending_.erase(0, line_end + 1);
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        transcript_ += line + "\n";
        if (line.rfind(prefix_, 0) != 0)
            continue;
        line.erase(0, prefix_.size());
        printf("     guest: %s\n", line.c_str());
        return line;
    }
}

std::vector<std::string> Reports::until(const std::string &mark, milliseconds limit)
{
    std::vector<std::string> lines;
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        const std::string line = next(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
        if (line.empty() && Clock::now() >= end)
            break;
        lines.push_back(line);
        if (line.rfind(mark, 0) == 0)
            return lines;
    }
    lines.emplace_back("<timeout waiting for " + mark + ">");
    return lines;
}

unsigned long field(const std::string &line, const std::string &key)
{
    const auto at = line.find(key + "=");
    if (at == std::string::npos)
        return ~0UL;
    return std::stoul(line.substr(at + key.size() + 1), nullptr, 0);
}

const std::string *find_line(const std::vector<std::string> &lines, const std::string &start,
                             int nth)
{
    const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line.rfind(start, 0) == 0 && nth-- == 0;
    });
    return found == lines.end() ? nullptr : &*found;
}

bool open_line(Line *line)
{
    line->pty = sandbox::open_pty();
    if (!line->pty || !sandbox::make_raw(line->pty->slave))
        return false;
    line->hold.reset(open(line->pty->slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    return static_cast<bool>(line->hold);
}

std::vector<std::string> serial_args(const std::vector<const Line *> &lines)
{
    std::vector<std::string> args;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string id = "s" + std::to_string(i);
        args.insert(args.end(), {"-chardev", "serial,id=" + id + ",path=" + lines[i]->slave(),
                                 "-serial", "chardev:" + id});
    }
    return args;
}

Monitor::Monitor()
{
    char dir[] = "/tmp/radio-vm.XXXXXX";
    if (mkdtemp(dir) != nullptr)
        path_ = std::string(dir) + "/monitor";
}

std::vector<std::string> Monitor::qemu_args() const
{
    return {"-monitor", "unix:" + path_ + ",server=on,wait=off"};
}

bool Monitor::connect()
{
    if (socket_)
        return true;
    sockaddr_un at{};
    at.sun_family = AF_UNIX;
    if (path_.empty() || path_.size() >= sizeof at.sun_path)
        return false;
    (void)strncpy(at.sun_path, path_.c_str(), sizeof at.sun_path - 1);
    for (int tries = 0; tries < 100; ++tries) {
        sandbox::Fd s(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (s && ::connect(s.get(), reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0) {
            socket_ = std::move(s);
            std::string banner;
            return harness::read_until(
                socket_.get(), &banner,
                [](const std::string &t) { return t.find("(qemu) ") != std::string::npos; },
                seconds(10));
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
}

bool Monitor::command(const std::string &line)
{
    if (!connect())
        return false;
    std::string answer;
    // The monitor echoes the line, then answers, then prompts again.
    const bool answered = harness::converse(
        socket_.get(), line + "\n", &answer,
        [](const std::string &t) { return t.find("(qemu) ") != std::string::npos; }, seconds(10));
    return answered && answer.find("Error") == std::string::npos &&
           answer.find("unknown") == std::string::npos;
}

std::string type_keys_and_check_bytes(int console, int port, const std::string &line)
{
    std::string echo;
    for (const std::string key : {"8", "2", "4", "6", "9", "7", " ", "a", "\x1b[A"}) {
        (void)harness::converse(console, key, &echo, any, seconds(2));
        // Longer than radio's wait for a key's next byte: each press stays a
        // key of its own, also one that follows an Escape's sequence.
        std::this_thread::sleep_for(milliseconds(console_key_wait_ms(nullptr) + 50));
    }
    std::string sent;
    harness::read_until(
        port, &sent, [](const std::string &s) { return s.size() >= 7; }, seconds(10));
    harness::read_for(port, &sent, milliseconds(500));
    check(sent == std::string("\x20\x10\x08\x04\x02\x01\x00", 7),
          "command bytes on " + line + ": " + hex(sent) + " (want 20 10 08 04 02 01 00)");
    return echo;
}

std::string type_escape(int console)
{
    std::string echo;
    (void)harness::converse(console, "\x1b", &echo, any, seconds(2));
    return echo;
}

namespace {

// The console settings a line reports, without its speeds.
std::string flags_of(const std::string *line)
{
    if (line == nullptr)
        return "(none)";
    return line->substr(line->find("iflag"), line->find(" ispeed") - line->find("iflag"));
}

} // namespace

void check_console_restored(const std::vector<std::string> &before,
                            const std::vector<std::string> &after, const std::string &console)
{
    const std::string *was = find_line(before, "SETTINGS " + console, 0);
    const std::string *is = find_line(after, "SETTINGS " + console);
    check(was != nullptr && is != nullptr && flags_of(was) == flags_of(is) &&
              field(*was, "ospeed") == field(*is, "ospeed"),
          "the console's settings are back as they were: " + flags_of(is));
}

namespace {

speed_t speed_code(int baud)
{
    const std::map<int, speed_t> codes = {{50, B50},     {134, B134},   {1200, B1200},
                                          {4800, B4800}, {9600, B9600}, {115200, B115200}};
    return codes.at(baud);
}

tcflag_t expected_cflag(const TableRow &r)
{
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t c = sizes[r.data - 5] | CLOCAL | r.cread | speed_code(r.baud);
    if (r.stop == 2)
        c |= CSTOPB;
    if (r.parity == 'E' || r.parity == 'e')
        c |= PARENB;
    if (r.parity == 'O' || r.parity == 'o')
        c |= PARENB | PARODD;
    return c;
}

} // namespace

std::vector<TableRow> table_rows(const std::vector<std::string> &lines)
{
    std::vector<TableRow> rows;
    for (const std::string &line : lines) {
        if (line.rfind("TABLE ", 0) != 0 || line == "TABLE-END")
            continue;
        TableRow r;
        std::istringstream in(line.substr(6));
        in >> r.baud >> r.parity >> r.data >> r.stop >> r.cread;
        r.line = line;
        rows.push_back(r);
    }
    return rows;
}

bool row_exact(const TableRow &r)
{
    const tcflag_t want = expected_cflag(r);
    const speed_t speed = speed_code(r.baud);
    if (field(r.line, "cflag") == want && field(r.line, "ospeed") == speed &&
        field(r.line, "ispeed") == speed)
        return true;
    printf("     want cflag=0%o speed=%u for: %s\n", want, speed, r.line.c_str());
    return false;
}

} // namespace vm
