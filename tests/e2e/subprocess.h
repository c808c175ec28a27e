// Child processes for the black-box tests: the console tool, the fixture
// executable, Windows programs under wine. Linux only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct ProcessResult {
    int status = -1;  // exit status; -1 when killed or not started
    bool timedOut = false;
    std::string out;
    std::string err;
    double ms = 0.0;  // from start to exit
};

// "NAME=value" entries that replace or add to this process's environment.
using EnvironmentChanges = std::vector<std::string>;

// Called every 20 ms or so while the program runs, with its process id and
// what it has written so far: where a test signals it.
using WhileRunning = std::function<void(pid_t pid, const ProcessResult& sofar)>;

// Runs the program with stdin from /dev/null and waits for it. A program
// still running after timeoutMs is killed. Output is collected until the
// program exits (helpers it left behind may hold the pipes open longer).
ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvironmentChanges& env,
                         int timeoutMs, const WhileRunning& whileRunning = {});

// A child that the test talks to line by line on its stdin and stdout;
// stderr goes to this process's stderr.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Start(const std::vector<std::string>& argv, const EnvironmentChanges& env);
    bool WriteLine(const std::string& line);
    // The next line without its newline; nothing when the time is up or
    // the child closed its stdout.
    std::optional<std::string> ReadLine(int timeoutMs);
    // Closes stdin and waits; kills the child when it does not end in time.
    // Returns its exit status, -1 when it had to be killed.
    int Finish(int timeoutMs);
    void Signal(int signal);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};

}  // namespace e2e
