// A private X server (Xvfb) for window tests, and what the tests do on it: start the window
// program, find its top-level window by process id, click with the XTEST extension, read the
// stacking order, cover a window with another, and take screenshots with ImageMagick.
#pragma once

#include <sys/types.h>

#include <QImage>
#include <QRect>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/LocalServer.h"
#include "support/TestProgram.h"

namespace koruvan::test {

// The window program running as a child process on the private display.
class WindowProcess : public TestProgram {
  public:
    // Starts `program` with `args` in `workDir`, output appended to `logFile`.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& display, const std::string& workDir, const std::string& logFile);
    // Exit code, 128 + signal when a signal ended it, -1 when still running after `limit`.
    int Wait(std::chrono::milliseconds limit) { return TestProgram::Wait(limit, false); }
};

class XSession {
  public:
    XSession();
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // False (with the reason) when Xvfb or import is missing or the server did not come up.
    [[nodiscard]] bool Ready(std::string& why) const;
    [[nodiscard]] const std::string& DisplayName() const { return name_; }

    // The viewable top-level window of process `pid` with the given size; 0 when none
    // appears within `limit`.
    [[nodiscard]] unsigned long FindWindow(pid_t pid, int width, int height,
                                           std::chrono::milliseconds limit);
    // The window's rectangle on the screen; empty when it is gone.
    [[nodiscard]] QRect Geometry(unsigned long window);
    [[nodiscard]] bool Viewable(unsigned long window);
    // Whether `window` is the topmost viewable top-level window.
    [[nodiscard]] bool OnTop(unsigned long window);
    // A plain window over `area`, raised above everything (no window manager needed).
    unsigned long Cover(const QRect& area);
    // A left click at a screen position (XTEST).
    bool Click(int x, int y);
    // The whole screen, also written to `file` when given.
    [[nodiscard]] QImage Screenshot(const std::string& file = "");

  private:
    void* display_ = nullptr;  // Display*
    std::string name_;
    std::string why_;
    ChildProcess server_;
    void* xtest_ = nullptr;  // dlopen handle of libXtst
};

}  // namespace koruvan::test
