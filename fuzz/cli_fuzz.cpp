// SPDX-License-Identifier: MIT
// The whole command line: the real romtool (built with ASan+UBSan) on arbitrary
// argument vectors, each run on a fresh copy of a default virtual board. Every run
// must end within the time limit with status 0 or 1 and nothing on stderr; a fatal
// error message comes with status 1.
//
// The input is split on NUL bytes into the arguments. "-l" is dropped (it holds the
// device until a signal, by design) and '/' becomes '_', so that every file name
// stays inside the scratch work folder. "-rmt"/"-wmt" get their ctrl-c as soon as
// they print "waiting for ctrl-c".
//
// Leak checking is off in the child: at exit it costs more than the run itself, and
// the in-process targets check the libraries for leaks.
//
// libFuzzer cannot see the child's coverage; each distinct output line (digits
// dropped) and exit status counts as a feature instead, so inputs that reach new
// messages are kept.
#include "fuzz_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Generous: a full-size image takes the board tens of seconds on a busy machine.
constexpr auto time_limit = std::chrono::seconds(90);
constexpr size_t output_kept = 1 << 20;

__attribute__((section("__libfuzzer_extra_counters"))) uint8_t outcome_counters[8192];

struct setup_t {
    std::string romtool, preload, board, work;
    fuzz::snapshot_t board_files;
    std::vector<std::pair<std::string, fuzz::bytes_t>> samples;
};
setup_t* setup;

fuzz::bytes_t pattern(size_t size, uint8_t seed) {
    fuzz::bytes_t data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return data;
}

// The files an argument vector may name: images at and around the limits, a text,
// an empty file and a folder (made per run).
std::vector<std::pair<std::string, fuzz::bytes_t>> make_samples() {
    const std::string env = "serverip=10.0.0.1\nipaddr=10.0.0.2\n";
    return {
        {"a.bin", pattern(100, 1)},
        {"bios.bin", pattern(0x40000, 2)},
        {"big.bin", pattern(0x40001, 3)},
        {"odd.bin", pattern(0x47, 4)},
        {"fpga.bin", pattern(0x7FFFC, 5)},
        {"half.bin", pattern(0x40000, 6)},
        {"empty.bin", {}},
        {"env.txt", fuzz::bytes_t(env.begin(), env.end())},
    };
}

std::string show(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& a : args) {
        text += " '";
        for (char c : a)
            text += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : "\\x" + std::to_string(c & 0xFF);
        text += "'";
    }
    return text;
}

void count_outcome(int status, const std::string& out) {
    uint32_t h = 2166136261u ^ static_cast<uint32_t>(status);
    outcome_counters[h % sizeof outcome_counters] = 1;
    int lines = 0;
    for (char c : out) {
        if (c == '\n') {
            outcome_counters[h % sizeof outcome_counters] = 1;
            h = 2166136261u ^ static_cast<uint32_t>(status);
            if (++lines == 64)
                break;
        } else if (c < '0' || c > '9') {
            h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string scratch = fuzz::scratch_dir();
    const std::string templ = scratch + "/template";
    fuzz::create_board(templ);
    setup = new setup_t{fuzz::romtool_path(), fuzz::preload_path(),    scratch + "/board",
                        scratch + "/work",    fuzz::snapshot_t(templ), make_samples()};
    mkdir(setup->board.c_str(), 0755);
    mkdir(setup->work.c_str(), 0755);
    if (access(setup->romtool.c_str(), X_OK) != 0 || access(setup->preload.c_str(), R_OK) != 0)
        fuzz::fail("romtool %s or the board %s is missing", setup->romtool.c_str(),
                   setup->preload.c_str());
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += data[i] == '/' ? '_' : static_cast<char>(data[i]);
    }
    std::vector<std::string> kept;
    bool thread_test = false;
    for (auto& a : args) {
        if (a == "-l")
            continue;
        thread_test |= a == "-rmt" || a == "-wmt";
        kept.push_back(a);
    }

    setup->board_files.restore(setup->board);
    fuzz::empty_dir(setup->work);
    for (const auto& [name, bytes] : setup->samples)
        fuzz::write_file(setup->work + "/" + name, bytes);
    mkdir((setup->work + "/dir").c_str(), 0755);

    std::vector<char*> argv;
    argv.push_back(setup->romtool.data());
    for (auto& a : kept)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::string e1 = "LD_PRELOAD=" + setup->preload, e2 = "VBOARD_DIR=" + setup->board;
    std::string e3 = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";
    std::string e4 = "UBSAN_OPTIONS=print_stacktrace=1", e5 = "PATH=/usr/bin:/bin";
    char* envp[] = {e1.data(), e2.data(), e3.data(), e4.data(), e5.data(), nullptr};

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        fuzz::fail("pipe: %s", std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, setup->work.c_str());
    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0)
        fuzz::fail("cannot run %s: %s", argv[0], std::strerror(spawned));

    std::string out, err;
    bool interrupted = false, timed_out = false;
    const auto deadline = std::chrono::steady_clock::now() + time_limit;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_pipes = 2;
    while (open_pipes > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
            fuzz::fail("poll: %s", std::strerror(errno));
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_pipes;
                continue;
            }
            std::string& text = i == 0 ? out : err;
            if (text.size() < output_kept)
                text.append(buffer, static_cast<size_t>(n));
        }
        if (thread_test && !interrupted && out.find("waiting for ctrl-c\n") != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    const std::string shown = show(kept);
    if (timed_out)
        fuzz::fail("romtool%s did not end within %lld s; stdout:\n%s", shown.c_str(),
                   static_cast<long long>(time_limit.count()), out.c_str());
    if (!WIFEXITED(status))
        fuzz::fail("romtool%s ended by signal %d; stdout:\n%s\nstderr:\n%s", shown.c_str(),
                   WTERMSIG(status), out.c_str(), err.c_str());
    const int code = WEXITSTATUS(status);
    if (code != 0 && code != 1)
        fuzz::fail("romtool%s exit status %d; stdout:\n%s\nstderr:\n%s", shown.c_str(), code,
                   out.c_str(), err.c_str());
    if (!err.empty())
        fuzz::fail("romtool%s wrote to stderr:\n%s", shown.c_str(), err.c_str());
    if (out.find("\nromtool fatal error ") != std::string::npos && code != 1)
        fuzz::fail("romtool%s printed a fatal error with status %d:\n%s", shown.c_str(), code,
                   out.c_str());
    count_outcome(code, out);
    return 0;
}
