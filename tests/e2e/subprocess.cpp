#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace e2e {
namespace {

using SteadyClock = std::chrono::steady_clock;

double MsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

std::vector<std::string> MergedEnvironment(const EnvironmentChanges& changes) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& c : changes) replaced = replaced || c.substr(0, c.find('=')) == name;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), changes.begin(), changes.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (auto& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

// Spawns with the given descriptors as the child's stdin, stdout, stderr
// (-1: leave as this process has it).
pid_t Spawn(const std::vector<std::string>& argv, const EnvironmentChanges& changes, int in,
            int out, int err) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = MergedEnvironment(changes);
    auto argp = Pointers(args);
    auto envp = Pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int StatusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }

void ReadAvailable(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvironmentChanges& env,
                         int timeoutMs, const WhileRunning& whileRunning) {
    ProcessResult result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const auto start = SteadyClock::now();
    const pid_t pid = Spawn(argv, env, devNull, outPipe[1], errPipe[1]);
    ::close(devNull);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    for (int fd : {outPipe[0], errPipe[0]}) ::fcntl(fd, F_SETFL, O_NONBLOCK);

    int raw = 0;
    bool exited = pid < 0;
    while (!exited) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        (void)::poll(fds, 2, 20);
        ReadAvailable(outPipe[0], result.out);
        ReadAvailable(errPipe[0], result.err);
        if (::waitpid(pid, &raw, WNOHANG) == pid) {
            exited = true;
            result.status = StatusOf(raw);
        } else if (MsSince(start) > timeoutMs) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &raw, 0);
            exited = true;
        } else if (whileRunning) {
            whileRunning(pid, result);
        }
    }
    result.ms = MsSince(start);
    // What the program wrote just before it ended.
    for (int i = 0; i < 5; ++i) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, 20) <= 0) break;
        ReadAvailable(outPipe[0], result.out);
        ReadAvailable(errPipe[0], result.err);
        if ((fds[0].revents | fds[1].revents) & POLLHUP) break;
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    return result;
}

Child::~Child() { Finish(2000); }

bool Child::Start(const std::vector<std::string>& argv, const EnvironmentChanges& env) {
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return false;
    }
    pid_ = Spawn(argv, env, inPipe[0], outPipe[1], -1);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    return pid_ > 0;
}

bool Child::WriteLine(const std::string& line) {
    if (in_ < 0) return false;
    const std::string text = line + "\n";
    return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::optional<std::string> Child::ReadLine(int timeoutMs) {
    const auto start = SteadyClock::now();
    for (;;) {
        const size_t newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        const double left = timeoutMs - MsSince(start);
        if (out_ < 0 || left <= 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
        char buffer[1024];
        const ssize_t n = ::read(out_, buffer, sizeof(buffer));
        if (n > 0) {
            buffered_.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            return std::nullopt;  // closed
        }
    }
}

int Child::Finish(int timeoutMs) {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
    int status = -1;
    if (pid_ > 0) {
        const auto start = SteadyClock::now();
        int raw = 0;
        for (;;) {
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                status = StatusOf(raw);
                break;
            }
            if (MsSince(start) > timeoutMs) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &raw, 0);
                break;
            }
            ::usleep(10000);
        }
    }
    pid_ = -1;
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    return status;
}

void Child::Signal(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
}

}  // namespace e2e
