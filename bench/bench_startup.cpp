// Start-up and settings-window cost of the checker against a bare Qt 6
// program that shows the same window and a bare four-tab dialog
// (bare_window.cpp). See README.md.
//
// Everything is observed from outside the programs, on an Xvfb display of
// the benchmark's own:
// - start-up ends when the program's window is mapped (MapNotify on the root
//   window) and the process has then gone idle in its event loop, its first
//   frame drawn: its CPU clock stands still;
// - the settings window's opening starts with a press on the blue bar (XTest,
//   through xdotool) and ends the same way once the dialog is mapped.
// Natively the CPU time comes from the process's CPU clock (all threads) and
// the peak RSS from VmHWM at the end point. Under callgrind the counters are
// dumped at the same end points through callgrind_control (vgdb), so neither
// program knows it is measured.

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string workDir;
std::string displayName;
xcb_connection_t *x = nullptr;
pid_t xvfb = -1;

void cleanUp();

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "korvelin_bench_startup: %s\n", what.c_str());
    cleanUp();
    std::exit(1);
}

// Where the checker looks first for its folder is "../etc/" from its working
// directory: each program runs in WORK/run with WORK/etc beside it.
void makeWorkDir()
{
    char tmpl[] = "/tmp/korvelin-bench-startup-XXXXXX";
    if (!mkdtemp(tmpl))
        fail("no temporary folder");
    workDir = tmpl;
    mkdir((workDir + "/etc").c_str(), 0700);
    mkdir((workDir + "/run").c_str(), 0700);
}

void startXvfb()
{
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe");
    xvfb = fork();
    if (xvfb == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[32] = {};
    ssize_t n = 0, got = 0;
    while (got < ssize_t(sizeof buf) - 1 && (n = read(fds[0], buf + got, sizeof buf - 1 - got)) > 0) {
        got += n;
        if (std::memchr(buf, '\n', got))
            break;
    }
    close(fds[0]);
    if (got <= 0)
        fail("Xvfb did not start (package xvfb)");
    displayName = ":" + std::string(buf, std::strcspn(buf, "\n"));
    // For xdotool and the programs measured.
    setenv("DISPLAY", displayName.c_str(), 1);
    x = xcb_connect(displayName.c_str(), nullptr);
    if (xcb_connection_has_error(x))
        fail("cannot reach the Xvfb display");
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);
}

// Waits for the next top-level window (not a pop-up) to be mapped.
void waitForMap(pid_t pid)
{
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (Clock::now() < deadline) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            const bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY
                             && !reinterpret_cast<xcb_map_notify_event_t *>(event)->override_redirect;
            std::free(event);
            if (mapped)
                return;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            fail("the program ended before its window was mapped");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    fail("no window was mapped within two minutes");
}

double cpuSeconds(pid_t pid)
{
    clockid_t id;
    timespec t{};
    if (clock_getcpuclockid(pid, &id) != 0 || clock_gettime(id, &t) != 0)
        fail("cannot read the program's CPU clock");
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Idle: the CPU clock has stood still (within 0.1 ms) for 100 ms.
double waitForIdle(pid_t pid)
{
    double last = cpuSeconds(pid);
    int still = 0;
    while (still < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const double now = cpuSeconds(pid);
        still = now - last < 1e-4 ? still + 1 : 0;
        last = now;
    }
    return last;
}

double peakRssMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// In a forked child: runs the command with its output thrown away.
[[noreturn]] void execQuiet(const std::vector<std::string> &argv)
{
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void run(const std::vector<std::string> &argv)
{
    const pid_t pid = fork();
    if (pid == 0) {
        execQuiet(argv);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("failed: " + argv[0]);
}

void press(int x0, int y0, bool click)
{
    std::vector<std::string> argv{"xdotool", "mousemove", std::to_string(x0), std::to_string(y0)};
    if (click)
        argv.insert(argv.end(), {"click", "1"});
    run(argv);
}

long long callgrindTotal(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0)
            return std::atoll(line.c_str() + line.find(':') + 1);
    fail("no totals in " + file);
}

void callgrindDump(pid_t pid, const std::string &command)
{
    run({"callgrind_control", command, std::to_string(pid)});
}

struct Figures
{
    double startCpu = 0, startRss = 0, dialogCpu = 0, dialogWall = 0;
    long long startInstr = 0, dialogInstr = 0;
};

// One run: start-up to idle, then a press on the bar to the settings window
// mapped and idle.
Figures measure(const std::string &program, bool callgrind)
{
    Figures f;
    const std::string out = workDir + "/cg.out";
    std::vector<std::string> argv;
    if (callgrind)
        argv = {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--dump-line=no"};
    argv.push_back(program);
    while (xcb_generic_event_t *event = xcb_poll_for_event(x))
        std::free(event);
    // The pointer rests outside both windows while they start.
    press(1000, 700, false);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir((workDir + "/run").c_str()) != 0)
            _exit(127);
        setenv("DISPLAY", displayName.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        setenv("USERNAME", "bench", 1);
        setenv("HOME", workDir.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        execQuiet(argv);
    }
    waitForMap(pid);
    f.startCpu = waitForIdle(pid);
    f.startRss = peakRssMiB(pid);
    if (callgrind) {
        callgrindDump(pid, "-d");
        f.startInstr = callgrindTotal(out + ".1");
    }
    // The checker's window is at 294, 273; its blue bar spans rows 0 to 8.
    press(294 + 24, 273 + 4, false);
    waitForIdle(pid);
    if (callgrind)
        callgrindDump(pid, "-z");
    const double before = cpuSeconds(pid);
    const auto pressed = Clock::now();
    press(294 + 24, 273 + 4, true);
    waitForMap(pid);
    f.dialogWall = std::chrono::duration<double>(Clock::now() - pressed).count();
    f.dialogCpu = waitForIdle(pid) - before;
    if (callgrind) {
        callgrindDump(pid, "-d");
        f.dialogInstr = callgrindTotal(out + ".2");
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    if (callgrind)
        for (const char *suffix : {"", ".1", ".2"})
            std::remove((out + suffix).c_str());
    return f;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void cleanUp()
{
    if (x)
        xcb_disconnect(x);
    x = nullptr;
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
    }
    xvfb = -1;
    if (!workDir.empty()) {
        const std::string dir = workDir;
        workDir.clear();
        run({"rm", "-rf", dir});
    }
}

} // namespace

int main(int argc, char **argv)
{
    int rounds = 15;
    int callgrindRounds = 1;
    std::vector<std::string> programs{KORVELIN_PROGRAM, KORVELIN_BARE_PROGRAM};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (a == "-c" && i + 1 < argc)
            callgrindRounds = std::atoi(argv[++i]);
        else if (a == "--korvelin" && i + 1 < argc)
            programs[0] = argv[++i];
        else if (a == "--also" && i + 1 < argc)
            programs.push_back(argv[++i]);
        else
            fail("usage: korvelin_bench_startup [-n ROUNDS] [-c CALLGRIND_ROUNDS] [--korvelin PATH] [--also PATH]");
    }
    makeWorkDir();
    startXvfb();

    // A first start of each creates the settings files; the measured starts
    // find them, as every start but the first does.
    for (const std::string &p : programs)
        measure(p, false);

    std::vector<std::vector<Figures>> native(programs.size()), counted(programs.size());
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t p = 0; p < programs.size(); ++p)
            native[p].push_back(measure(programs[p], false));
        std::fprintf(stderr, "\rround %d/%d", r + 1, rounds);
    }
    for (int r = 0; r < callgrindRounds; ++r)
        for (std::size_t p = 0; p < programs.size(); ++p)
            counted[p].push_back(measure(programs[p], true));
    std::fprintf(stderr, "\n");

    struct Row
    {
        double startInstr, startCpu, startRss, dialogInstr, dialogCpu, dialogWall;
    };
    std::vector<Row> rows;
    for (std::size_t p = 0; p < programs.size(); ++p) {
        auto pick = [](const std::vector<Figures> &v, auto field) {
            std::vector<double> values;
            for (const Figures &f : v)
                values.push_back(double(f.*field));
            return median(values);
        };
        rows.push_back({pick(counted[p], &Figures::startInstr) / 1e6, pick(native[p], &Figures::startCpu) * 1e3,
                        pick(native[p], &Figures::startRss), pick(counted[p], &Figures::dialogInstr) / 1e6,
                        pick(native[p], &Figures::dialogCpu) * 1e3, pick(native[p], &Figures::dialogWall) * 1e3});
    }
    std::printf("medians of %d interleaved rounds (instructions: %d callgrind round(s))\n", rounds, callgrindRounds);
    std::printf("%-40s %12s %10s %10s | %12s %10s %10s\n", "program", "start Minstr", "start ms", "peak MiB",
                "dialog Minstr", "dialog ms", "wall ms");
    for (std::size_t p = 0; p < programs.size(); ++p) {
        const Row &r = rows[p];
        std::printf("%-40s %12.2f %10.1f %10.1f | %12.2f %10.1f %10.1f\n",
                    programs[p].substr(programs[p].rfind('/') + 1).c_str(), r.startInstr, r.startCpu, r.startRss,
                    r.dialogInstr, r.dialogCpu, r.dialogWall);
    }
    const Row &bare = rows[1];
    for (std::size_t p = 0; p < programs.size(); ++p) {
        if (p == 1)
            continue;
        const Row &r = rows[p];
        std::printf("%s / bare: start-up instructions %.3fx, CPU %.3fx, peak RSS %.3fx (target <= 1.1); "
                    "settings window instructions %.3fx, CPU %.3fx (target <= 1.3)\n",
                    programs[p].substr(programs[p].rfind('/') + 1).c_str(), r.startInstr / bare.startInstr,
                    r.startCpu / bare.startCpu, r.startRss / bare.startRss, r.dialogInstr / bare.dialogInstr,
                    r.dialogCpu / bare.dialogCpu);
    }
    cleanUp();
    return 0;
}
