// A program under test running as a child process: started in a folder of its own, with a
// few environment entries replaced, its output appended to files; waited for with a time
// limit. The command-line and window fixtures both build on it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace koruvan::test {

struct ProgramLaunch {
    std::string program;  // a path (not looked up on PATH)
    std::vector<std::string> args;
    std::string workDir;
    std::string outFile;
    std::string errFile;  // empty: standard error goes with the output
    // "NAME=value" entries replace an inherited entry of that name; a bare "NAME" only
    // drops it.
    std::vector<std::string> environment;
};

class TestProgram {
  public:
    TestProgram() = default;
    ~TestProgram();  // kills it when still running
    TestProgram(const TestProgram&) = delete;
    TestProgram& operator=(const TestProgram&) = delete;

    bool Start(const ProgramLaunch& launch);
    // The exit code; 128 + signal when a signal ended it; -1 when it was still running after
    // `limit` (then killed when `killOnTimeout`, else left running).
    int Wait(std::chrono::milliseconds limit, bool killOnTimeout);
    [[nodiscard]] bool Running();
    void Signal(int signal);
    [[nodiscard]] pid_t Pid() const { return pid_; }

  private:
    void Kill();

    pid_t pid_ = -1;
};

}  // namespace koruvan::test
