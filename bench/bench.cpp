// SPDX-License-Identifier: MIT
// radio-bench: measures key-to-line programs side by side.  Each program
// runs with a console pty as its controlling terminal and standard streams
// and a second pty bound over the port this build's radio drives, in a
// private mount namespace (the real port is never opened).  Rounds are interleaved (A B C A B C
// ...) so that a noisy machine hurts every program alike.
//
//   radio-bench [--quick] [--rounds N] [--keys N] [--burst N] [--idle S]
//               [--spin] [--out DIR] --program NAME 'COMMAND LINE' ...
//
// --spin waits for each key's byte by spinning instead of in poll: the
// harness's wake-up leaves the measurement, but on a two-core machine the
// spinning core is taken from the program and the kernel's pty work.
//
// A program whose name starts with radio translates keys into command
// bytes; every other program is expected to pass each key through
// unchanged.  A program named floor is the baseline that ratios are taken
// to; every other program is a peer.

#include "harness/harness.h"
#include "radio/device.h"
#include "sandbox/sandbox.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Options {
    int rounds = 3;
    int keys = 2000;
    int burst = 5000;
    double idle_s = 5.0;
    bool spin = false; // wait for each key's byte by spinning, not in poll
    std::string out = "build/bench";
};

struct Program {
    std::string name;
    std::vector<std::string> argv;
};

// One round of one program.
struct Round {
    std::string error;
    double startup_ms = NAN;
    double idle_cpu_pct = NAN;
    double hwm_mb = NAN;
    std::vector<double> latency_us;   // key written -> byte readable on the line
    std::vector<double> echo_us;      // key written -> first echo on the console
    std::vector<double> undrained_us; // key -> line, the console read only afterwards
    double burst_ms = NAN;
    double escape_ms = NAN; // Escape written -> the program has ended (radio only)
};

double us_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

double hwm_mb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return NAN;
}

void drain(int fd)
{
    char buf[4096];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

bool set_nonblocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Every command key, in the table's order.
std::string all_command_keys()
{
    std::string keys;
    for (const Command &c : commands)
        keys += static_cast<char>(c.key);
    return keys;
}

const std::string command_keys = all_command_keys();

// radio, or a build of it: a program whose name starts with "radio".
bool is_radio(const std::string &name)
{
    return name.rfind("radio", 0) == 0;
}

// The byte a key should put on the line.
char line_byte(const Program &p, char key)
{
    if (!is_radio(p.name))
        return key;
    return static_cast<char>(commands[command_keys.find(key)].byte);
}

bool wait_ready(int console, milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        termios t{};
        if (tcgetattr(console, &t) == 0 && (t.c_lflag & ICANON) == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

// Waits until the key's byte is readable on the line (false after a
// second); notes when the console first shows an echo, if watching it.
bool wait_for_byte(int port, int console, bool watch_echo, bool spin, Clock::time_point t0,
                   double *echo)
{
    const auto give_up = t0 + std::chrono::seconds(1);
    for (;;) {
        pollfd fds[2] = {{port, POLLIN, 0}, {console, POLLIN, 0}};
        const int n = poll(fds, watch_echo && std::isnan(*echo) ? 2 : 1, spin ? 0 : 1000);
        if (n < 0 || Clock::now() >= give_up)
            return false;
        if (std::isnan(*echo) && (fds[1].revents & POLLIN) != 0)
            *echo = us_since(t0);
        if ((fds[0].revents & POLLIN) != 0)
            return true;
    }
}

// One key at a time: the time until its byte is on the line, and until its
// echo (if any) is on the console.  Undrained, the console is not watched
// while the key travels (its echo is read only after the byte arrived): the
// difference shows what reading the echo costs the measurement itself.
bool measure_latency(const Program &p, int console, int port, int keys, bool drained,
                     const Options &o, Round *r)
{
    std::vector<double> &latency = drained ? r->latency_us : r->undrained_us;
    latency.reserve(static_cast<size_t>(keys));
    for (int i = 0; i < keys; ++i) {
        const char key = command_keys[static_cast<size_t>(i) % command_keys.size()];
        drain(console);
        const auto t0 = Clock::now();
        double echo = NAN;
        if (write(console, &key, 1) != 1 ||
            !wait_for_byte(port, console, drained, o.spin, t0, &echo)) {
            r->error = "key " + std::to_string(i) + " never reached the line";
            return false;
        }
        latency.push_back(us_since(t0));
        if (!std::isnan(echo))
            r->echo_us.push_back(echo);
        char got = 0;
        if (read(port, &got, 1) != 1 || got != line_byte(p, key)) {
            r->error = "key " + std::to_string(i) + " put the wrong byte on the line";
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// A paste: every key at once, console drained meanwhile; all bytes must
// arrive, in order.
bool measure_burst(const Program &p, int console, int port, const Options &o, Round *r)
{
    std::string keys;
    std::string want;
    for (int i = 0; i < o.burst; ++i) {
        keys += command_keys[static_cast<size_t>(i) % command_keys.size()];
        want += line_byte(p, keys.back());
    }
    drain(console);
    drain(port);
    std::string got;
    size_t sent = 0;
    const auto t0 = Clock::now();
    const auto end = t0 + std::chrono::seconds(60);
    while (got.size() < want.size() && Clock::now() < end) {
        pollfd fds[2] = {
            {port, POLLIN, 0},
            {console, static_cast<short>(sent < keys.size() ? POLLIN | POLLOUT : POLLIN), 0}};
        if (poll(fds, 2, 1000) <= 0)
            break;
        if ((fds[1].revents & POLLOUT) != 0) {
            const ssize_t n = write(console, keys.data() + sent, keys.size() - sent);
            sent += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if ((fds[1].revents & POLLIN) != 0)
            drain(console);
        if ((fds[0].revents & POLLIN) != 0) {
            char buf[4096];
            const ssize_t n = read(port, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
        }
    }
    r->burst_ms = us_since(t0) / 1000.0;
    if (got != want) {
        r->error = "burst: " + std::to_string(got.size()) + " of " + std::to_string(want.size()) +
                   " bytes arrived" + (got.size() == want.size() ? ", out of order" : "");
        return false;
    }
    return true;
}

// radio ends on Escape once its wait for a following byte has passed: how
// long after the key it is gone.
void measure_escape(int console, sandbox::Child *child, Round *r)
{
    const auto t0 = Clock::now();
    if (!sandbox::write_all(console, "\x1b"))
        return;
    if (child->wait_for(std::chrono::seconds(3)).has_value())
        r->escape_ms = us_since(t0) / 1000.0;
    else
        r->error = "did not end on Escape";
}

Round run_round(const Program &p, const Options &o)
{
    Round r;
    auto console = sandbox::open_pty();
    auto port = sandbox::open_pty();
    if (!console || !port || !sandbox::make_raw(port->slave)) {
        r.error = "no pty";
        return r;
    }
    const sandbox::Fd hold(open(port->slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    const std::string console_slave = console->slave;
    const std::string port_slave = port->slave;
    const auto t0 = Clock::now();
    sandbox::Child child = sandbox::Child::spawn(
        [&] {
            std::string why;
            if (!harness::take_terminal(console_slave, true, &why) ||
                !sandbox::enter_port_namespace(port_slave, device_port, &why)) {
                (void)fprintf(stderr, "setup: %s\n", why.c_str());
                _exit(125);
            }
        },
        p.argv);
    const int con = console->master.get();
    const int line = port->master.get();
    if (!set_nonblocking(con) || !set_nonblocking(line) || !wait_ready(con, milliseconds(10000))) {
        r.error = "never ready (its console stayed canonical)";
        return r;
    }
    r.startup_ms = us_since(t0) / 1000.0;

    drain(con);
    const double cpu0 = harness::cpu_ns(child.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(o.idle_s));
    r.idle_cpu_pct = (harness::cpu_ns(child.pid()) - cpu0) / (o.idle_s * 1e9) * 100.0;

    if (measure_latency(p, con, line, o.keys, true, o, &r) &&
        measure_latency(p, con, line, o.keys / 2, false, o, &r))
        (void)measure_burst(p, con, line, o, &r);
    r.hwm_mb = hwm_mb(child.pid());
    if (is_radio(p.name) && r.error.empty())
        measure_escape(con, &child, &r);
    // Asked to end before it is killed: a wrapper (strace -c, callgrind)
    // writes its report only when the program ends.  A child already reaped
    // has pid -1, and kill(-1) would reach every process we may signal.
    if (child.pid() > 0) {
        (void)kill(child.pid(), SIGTERM);
        (void)child.wait_for(std::chrono::seconds(3));
    }
    return r;
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<size_t>(std::lround(q * static_cast<double>(v.size() - 1)));
    return v[std::min(at, v.size() - 1)];
}

double median(std::vector<double> v)
{
    return percentile(std::move(v), 0.5);
}

struct Summary {
    double startup_ms;
    double idle_cpu_pct;
    double hwm_mb;
    double p50;
    double p99;
    double max;
    double echo_p50;
    double undrained_p50;
    double burst_ms;
    double escape_ms;
    std::string error;
};

Summary summarize(const std::vector<Round> &rounds)
{
    Summary s{};
    std::vector<double> startup;
    std::vector<double> idle;
    std::vector<double> hwm;
    std::vector<double> burst;
    std::vector<double> escape;
    std::vector<double> all_latency;
    std::vector<double> all_echo;
    std::vector<double> all_undrained;
    for (const Round &r : rounds) {
        if (!r.error.empty())
            s.error = r.error;
        startup.push_back(r.startup_ms);
        idle.push_back(r.idle_cpu_pct);
        hwm.push_back(r.hwm_mb);
        burst.push_back(r.burst_ms);
        escape.push_back(r.escape_ms);
        all_latency.insert(all_latency.end(), r.latency_us.begin(), r.latency_us.end());
        all_echo.insert(all_echo.end(), r.echo_us.begin(), r.echo_us.end());
        all_undrained.insert(all_undrained.end(), r.undrained_us.begin(), r.undrained_us.end());
    }
    s.undrained_p50 = median(all_undrained);
    s.startup_ms = median(startup);
    s.idle_cpu_pct = median(idle);
    s.hwm_mb = median(hwm);
    s.burst_ms = median(burst);
    s.escape_ms = median(escape);
    s.p50 = median(all_latency);
    s.p99 = percentile(all_latency, 0.99);
    s.max = percentile(all_latency, 1.0);
    s.echo_p50 = median(all_echo);
    return s;
}

std::string fmt(const char *format, double v)
{
    if (std::isnan(v))
        return "-";
    char b[64];
    (void)snprintf(b, sizeof b, format, v);
    return b;
}

void write_csv(const std::string &path, const std::vector<Program> &programs,
               const std::vector<std::vector<Round>> &results)
{
    std::ofstream csv(path);
    csv << "program,round,metric,index,value\n";
    for (size_t p = 0; p < programs.size(); ++p) {
        for (size_t r = 0; r < results[p].size(); ++r) {
            const Round &x = results[p][r];
            const std::string at = programs[p].name + "," + std::to_string(r) + ",";
            csv << at << "startup_ms,0," << x.startup_ms << "\n"
                << at << "idle_cpu_pct,0," << x.idle_cpu_pct << "\n"
                << at << "peak_rss_mb,0," << x.hwm_mb << "\n"
                << at << "burst_ms,0," << x.burst_ms << "\n";
            for (size_t i = 0; i < x.latency_us.size(); ++i)
                csv << at << "latency_us," << i << "," << x.latency_us[i] << "\n";
            for (size_t i = 0; i < x.echo_us.size(); ++i)
                csv << at << "echo_us," << i << "," << x.echo_us[i] << "\n";
            for (size_t i = 0; i < x.undrained_us.size(); ++i)
                csv << at << "undrained_latency_us," << i << "," << x.undrained_us[i] << "\n";
        }
    }
}

// One file per program with its latencies sorted, for the plot's CDF.
void write_plot(const Options &o, const std::vector<Program> &programs,
                const std::vector<std::vector<Round>> &results)
{
    std::ofstream script(o.out + "/latency.gp");
    script << "set terminal pngcairo size 900,500 font 'sans,10'\n"
           << "set output '" << o.out << "/latency.png'\n"
           << "set title 'Key to line: time from the key written on the console to its byte "
              "readable on the line'\n"
           << "set xlabel 'microseconds (log scale)'\nset ylabel 'fraction of keys'\n"
           << "set logscale x\nset grid\nset key bottom right\nset yrange [0:1]\n";
    std::string plot = "plot ";
    for (size_t p = 0; p < programs.size(); ++p) {
        std::vector<double> all;
        for (const Round &r : results[p])
            all.insert(all.end(), r.latency_us.begin(), r.latency_us.end());
        if (all.empty())
            continue;
        std::sort(all.begin(), all.end());
        const std::string data = o.out + "/latency-" + programs[p].name + ".dat";
        std::ofstream d(data);
        for (size_t i = 0; i < all.size(); ++i)
            d << all[i] << " " << static_cast<double>(i + 1) / static_cast<double>(all.size())
              << "\n";
        plot += std::string(plot == "plot " ? "" : ", ") + "'" + data +
                "' using 1:2 with lines lw 2 title '" + programs[p].name + "'";
    }
    script << plot << "\n";
}

void print_table(const std::vector<Program> &programs, const std::vector<Summary> &s,
                 const Options &o)
{
    double floor_p50 = NAN;
    double floor_burst = NAN;
    double best_peer = NAN;
    for (size_t p = 0; p < programs.size(); ++p) {
        if (programs[p].name == "floor") {
            floor_p50 = s[p].p50;
            floor_burst = s[p].burst_ms;
        } else if (!is_radio(programs[p].name) && !(s[p].p50 >= best_peer)) {
            best_peer = s[p].p50;
        }
    }
    printf("\n%d round(s), %d keys one at a time, a burst of %d, %.0f s idle; medians\n\n",
           o.rounds, o.keys, o.burst, o.idle_s);
    printf("| program | start-up | idle CPU | peak RSS | key→line p50 | p99 | max | key→echo p50 "
           "| key→line p50, echo unread | burst | per key in burst | Escape→end | p50 × floor "
           "| p50 × best peer |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (size_t p = 0; p < programs.size(); ++p) {
        const Summary &x = s[p];
        printf(
            "| %s | %s ms | %s %% | %s MB | %s µs | %s µs | %s µs | %s µs | %s µs | %s ms | %s µs "
            "| %s ms | %s | %s |%s\n",
            programs[p].name.c_str(), fmt("%.1f", x.startup_ms).c_str(),
            fmt("%.2f", x.idle_cpu_pct).c_str(), fmt("%.2f", x.hwm_mb).c_str(),
            fmt("%.0f", x.p50).c_str(), fmt("%.0f", x.p99).c_str(), fmt("%.0f", x.max).c_str(),
            fmt("%.0f", x.echo_p50).c_str(), fmt("%.0f", x.undrained_p50).c_str(),
            fmt("%.1f", x.burst_ms).c_str(), fmt("%.2f", x.burst_ms * 1000.0 / o.burst).c_str(),
            fmt("%.1f", x.escape_ms).c_str(), fmt("%.2f", x.p50 / floor_p50).c_str(),
            fmt("%.2f", x.p50 / best_peer).c_str(),
            x.error.empty() ? "" : (" ERROR: " + x.error).c_str());
    }
    if (!std::isnan(floor_burst))
        printf("\nburst cost per key above the floor is the program's own; one character takes "
               "%.0f µs on a real %d-baud line.\n",
               10e6 / device_line.baud, static_cast<int>(device_line.baud));
}

int usage()
{
    (void)fprintf(stderr, "usage: radio-bench [--quick] [--rounds N] [--keys N] [--burst N] "
                          "[--idle S] [--spin] [--out DIR] --program NAME 'COMMAND LINE' ...\n");
    return 2;
}

bool parse(int argc, char **argv, Options *o, std::vector<Program> *programs)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--quick") {
            o->rounds = 1;
            o->keys = 300;
            o->burst = 1000;
            o->idle_s = 1;
        } else if (a == "--rounds" && has_value) {
            o->rounds = std::stoi(argv[++i]);
        } else if (a == "--keys" && has_value) {
            o->keys = std::stoi(argv[++i]);
        } else if (a == "--burst" && has_value) {
            o->burst = std::stoi(argv[++i]);
        } else if (a == "--idle" && has_value) {
            o->idle_s = std::stod(argv[++i]);
        } else if (a == "--spin") {
            o->spin = true;
        } else if (a == "--out" && has_value) {
            o->out = argv[++i];
        } else if (a == "--program" && i + 2 < argc) {
            Program p{argv[i + 1], {}};
            std::istringstream words(argv[i + 2]);
            for (std::string w; words >> w;)
                p.argv.push_back(w);
            programs->push_back(p);
            i += 2;
        } else {
            return false;
        }
    }
    return !programs->empty();
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    std::vector<Program> programs;
    if (!parse(argc, argv, &o, &programs))
        return usage();
    std::string why;
    if (!harness::port_namespace_available(&why)) {
        (void)fprintf(stderr, "radio-bench: no private mount namespace: %s\n", why.c_str());
        return 1;
    }
    (void)setvbuf(stdout, nullptr, _IOLBF, 0);

    std::vector<std::vector<Round>> results(programs.size());
    for (int round = 0; round < o.rounds; ++round) {
        for (size_t p = 0; p < programs.size(); ++p) {
            printf("round %d: %s ...\n", round + 1, programs[p].name.c_str());
            results[p].push_back(run_round(programs[p], o));
        }
    }
    std::vector<Summary> summaries;
    bool failed = false;
    for (const auto &r : results) {
        summaries.push_back(summarize(r));
        failed = failed || !summaries.back().error.empty();
    }
    print_table(programs, summaries, o);
    write_csv(o.out + "/samples.csv", programs, results);
    write_plot(o, programs, results);
    printf("\nraw samples: %s/samples.csv; plot script: %s/latency.gp\n", o.out.c_str(),
           o.out.c_str());
    return failed ? 1 : 0;
}
