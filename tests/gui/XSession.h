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
    // A key pressed and released (XTEST), by keysym name ("Tab", "space", "9", "Return").
    bool Key(const std::string& keysym);

    // --- with a window manager (openbox) ---------------------------------------------------
    // Starts openbox on this display; false (with the reason) when it is missing or did not
    // announce itself.
    bool StartWindowManager(std::string& why);
    // The viewable client window of process `pid` titled `title` (UTF-8), wherever the
    // manager put it in the tree; 0 when none appears within `limit`.
    [[nodiscard]] unsigned long FindClient(pid_t pid, const std::string& title,
                                           std::chrono::milliseconds limit);
    // The manager offers to maximise the window (_NET_WM_ALLOWED_ACTIONS).
    [[nodiscard]] bool AllowsMaximise(unsigned long window);
    // Minimum and maximum size hints are set and equal (WM_NORMAL_HINTS).
    [[nodiscard]] bool FixedSize(unsigned long window);
    // The manager's frame around the client (the client itself without a manager).
    [[nodiscard]] unsigned long FrameOf(unsigned long window);
    // The whole screen, also written to `file` when given.
    [[nodiscard]] QImage Screenshot(const std::string& file = "");

  private:
    void* display_ = nullptr;  // Display*
    std::string name_;
    std::string why_;
    ChildProcess server_;
    void* xtest_ = nullptr;  // dlopen handle of libXtst
    ChildProcess manager_;
};

}  // namespace koruvan::test
