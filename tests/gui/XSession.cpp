#include "XSession.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "support/TempDir.h"

extern char** environ;

namespace koruvan::test {
namespace {

using namespace std::chrono_literals;

// Windows of the program come and go while a test looks at them: a request about one that
// just went away is no reason to end the test (Xlib's default handler exits).
int IgnoreXErrors(Display* /*display*/, XErrorEvent* /*error*/) {
    return 0;
}

Display* D(void* display) {
    return static_cast<Display*>(display);
}

// Runs a program to its end; its exit code (-1 when it could not run).
int RunToEnd(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long PidOf(Display* display, Window window) {
    const Atom atom = XInternAtom(display, "_NET_WM_PID", True);
    if (atom == None) {
        return -1;
    }
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, atom, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                           &after, &data) == Success &&
        data != nullptr && items == 1 && format == 32) {
        pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data != nullptr) {
        XFree(data);
    }
    return pid;
}

std::vector<Window> TopLevels(Display* display) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<Window> out;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) != 0) {
        out.assign(children, children + count);  // bottom to top
        if (children != nullptr) {
            XFree(children);
        }
    }
    return out;
}

}  // namespace

// --- the window program -------------------------------------------------------------------------

bool WindowProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& display, const std::string& workDir,
                          const std::string& logFile) {
    // The single-instance lock lives in XDG_RUNTIME_DIR; no Wayland, no offscreen platform.
    return TestProgram::Start({program,
                               args,
                               workDir,
                               logFile,
                               "",
                               {"DISPLAY=" + display, "XDG_RUNTIME_DIR=" + workDir,
                                "QT_QPA_PLATFORM=xcb", "WAYLAND_DISPLAY"}});
}

// --- the X server
// ---------------------------------------------------------------------------------

XSession::XSession() {
    if (FindProgram("Xvfb").empty()) {
        why_ = "Xvfb is not installed";
        return;
    }
    if (FindProgram("import").empty()) {
        why_ = "ImageMagick's import is not installed";
        return;
    }
    for (int n = 40 + getpid() % 40; n < 140 && display_ == nullptr; ++n) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        if (std::filesystem::exists(socket) || std::filesystem::exists(lock)) {
            continue;
        }
        name_ = ":" + std::to_string(n);
        if (!server_.Start(
                {"Xvfb", name_, "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"})) {
            continue;
        }
        for (int tries = 0; tries < 200 && display_ == nullptr && server_.Running(); ++tries) {
            std::this_thread::sleep_for(25ms);
            if (std::filesystem::exists(socket)) {
                display_ = XOpenDisplay(name_.c_str());
            }
        }
        if (display_ == nullptr) {
            server_.Stop();
        }
    }
    if (display_ == nullptr) {
        why_ = "Xvfb did not start";
        return;
    }
    XSetErrorHandler(IgnoreXErrors);
    xtest_ = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
}

XSession::~XSession() {
    manager_.Stop();
    if (display_ != nullptr) {
        XCloseDisplay(D(display_));
    }
    if (xtest_ != nullptr) {
        dlclose(xtest_);
    }
    server_.Stop();
}

bool XSession::Ready(std::string& why) const {
    why = why_;
    return display_ != nullptr;
}

unsigned long XSession::FindWindow(pid_t pid, int width, int height,
                                   std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        for (Window w : TopLevels(D(display_))) {
            XWindowAttributes a{};
            if (PidOf(D(display_), w) == pid && XGetWindowAttributes(D(display_), w, &a) != 0 &&
                a.map_state == IsViewable && a.width == width && a.height == height) {
                return w;
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    return 0;
}

QRect XSession::Geometry(unsigned long window) {
    XWindowAttributes a{};
    if (XGetWindowAttributes(D(display_), window, &a) == 0) {
        return {};
    }
    int x = 0;
    int y = 0;
    Window child = 0;
    XTranslateCoordinates(D(display_), window, DefaultRootWindow(D(display_)), 0, 0, &x, &y,
                          &child);
    return QRect(x, y, a.width, a.height);
}

bool XSession::Viewable(unsigned long window) {
    XWindowAttributes a{};
    return XGetWindowAttributes(D(display_), window, &a) != 0 && a.map_state == IsViewable;
}

bool XSession::OnTop(unsigned long window) {
    const Window frame = FrameOf(window);
    const std::vector<Window> all = TopLevels(D(display_));
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(D(display_), *it, &a) != 0 && a.map_state == IsViewable &&
            a.width > 1 && a.height > 1) {
            return *it == frame;
        }
    }
    return false;
}

unsigned long XSession::FrameOf(unsigned long window) {
    Window current = window;
    for (;;) {
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(D(display_), current, &root, &parent, &children, &count) == 0) {
            return window;
        }
        if (children != nullptr) {
            XFree(children);
        }
        if (parent == root || parent == 0) {
            return current;
        }
        current = parent;
    }
}

bool XSession::StartWindowManager(std::string& why) {
    if (FindProgram("openbox").empty()) {
        why = "openbox is not installed";
        return false;
    }
    if (!manager_.Start({"env", "DISPLAY=" + name_, "openbox", "--sm-disable"})) {
        why = "openbox did not start";
        return false;
    }
    const Atom check = XInternAtom(D(display_), "_NET_SUPPORTING_WM_CHECK", False);
    for (int tries = 0; tries < 200; ++tries) {
        Atom type = None;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        const bool found =
            XGetWindowProperty(D(display_), DefaultRootWindow(D(display_)), check, 0, 1, False,
                               XA_WINDOW, &type, &format, &items, &after, &data) == Success &&
            items == 1;
        if (data != nullptr) {
            XFree(data);
        }
        if (found) {
            std::this_thread::sleep_for(200ms);  // its own set-up done
            return true;
        }
        std::this_thread::sleep_for(25ms);
    }
    why = "openbox did not announce itself";
    return false;
}

namespace {

std::string Utf8Title(Display* display, Window window) {
    const Atom name = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, name, 0, 256, False, utf8, &type, &format, &items,
                           &after, &data) == Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), items);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return title;
}

void AllWindows(Display* display, Window window, std::vector<Window>& out) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
        return;
    }
    for (unsigned int i = 0; i < count; ++i) {
        out.push_back(children[i]);
        AllWindows(display, children[i], out);
    }
    if (children != nullptr) {
        XFree(children);
    }
}

std::vector<unsigned long> Longs(Display* display, Window window, const char* property, Atom type) {
    Atom actual = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned long> out;
    if (XGetWindowProperty(display, window, XInternAtom(display, property, False), 0, 64, False,
                           type, &actual, &format, &items, &after, &data) == Success &&
        data != nullptr && format == 32) {
        auto* values = reinterpret_cast<unsigned long*>(data);
        out.assign(values, values + items);
    }
    if (data != nullptr) {
        XFree(data);
    }
    return out;
}

}  // namespace

unsigned long XSession::FindClient(pid_t pid, const std::string& title,
                                   std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        std::vector<Window> all;
        AllWindows(D(display_), DefaultRootWindow(D(display_)), all);
        for (Window w : all) {
            XWindowAttributes a{};
            if (PidOf(D(display_), w) == pid && Utf8Title(D(display_), w) == title &&
                XGetWindowAttributes(D(display_), w, &a) != 0 && a.map_state == IsViewable) {
                return w;
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    return 0;
}

bool XSession::AllowsMaximise(unsigned long window) {
    const Atom horizontal = XInternAtom(D(display_), "_NET_WM_ACTION_MAXIMIZE_HORZ", False);
    const Atom vertical = XInternAtom(D(display_), "_NET_WM_ACTION_MAXIMIZE_VERT", False);
    for (unsigned long action : Longs(D(display_), window, "_NET_WM_ALLOWED_ACTIONS", XA_ATOM)) {
        if (action == horizontal || action == vertical) {
            return true;
        }
    }
    return false;
}

bool XSession::FixedSize(unsigned long window) {
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(D(display_), window, &hints, &supplied) == 0) {
        return false;
    }
    return (hints.flags & PMinSize) != 0 && (hints.flags & PMaxSize) != 0 &&
           hints.min_width == hints.max_width && hints.min_height == hints.max_height;
}

bool XSession::Key(const std::string& keysym) {
    using KeyFn = int (*)(Display*, unsigned int, Bool, unsigned long);
    if (xtest_ == nullptr) {
        return false;
    }
    auto key = reinterpret_cast<KeyFn>(dlsym(xtest_, "XTestFakeKeyEvent"));
    const KeySym sym = XStringToKeysym(keysym.c_str());
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(D(display_), sym);
    if (key == nullptr || code == 0) {
        return false;
    }
    key(D(display_), code, True, 0);
    XSync(D(display_), False);
    std::this_thread::sleep_for(30ms);
    key(D(display_), code, False, 0);
    XSync(D(display_), False);
    std::this_thread::sleep_for(30ms);
    return true;
}

unsigned long XSession::Cover(const QRect& area) {
    Display* d = D(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = WhitePixel(d, DefaultScreen(d));
    const Window w = XCreateWindow(
        d, DefaultRootWindow(d), area.x(), area.y(), static_cast<unsigned>(area.width()),
        static_cast<unsigned>(area.height()), 0, CopyFromParent, InputOutput, CopyFromParent,
        CWOverrideRedirect | CWBackPixel, &attributes);
    XMapRaised(d, w);
    XSync(d, False);
    return w;
}

bool XSession::Click(int x, int y) {
    using MotionFn = int (*)(Display*, int, int, int, unsigned long);
    using ButtonFn = int (*)(Display*, unsigned int, Bool, unsigned long);
    if (xtest_ == nullptr) {
        return false;
    }
    auto motion = reinterpret_cast<MotionFn>(dlsym(xtest_, "XTestFakeMotionEvent"));
    auto button = reinterpret_cast<ButtonFn>(dlsym(xtest_, "XTestFakeButtonEvent"));
    if (motion == nullptr || button == nullptr) {
        return false;
    }
    motion(D(display_), -1, x, y, 0);
    XSync(D(display_), False);
    std::this_thread::sleep_for(50ms);
    button(D(display_), 1, True, 0);
    XSync(D(display_), False);
    std::this_thread::sleep_for(30ms);
    button(D(display_), 1, False, 0);
    XSync(D(display_), False);
    return true;
}

QImage XSession::Screenshot(const std::string& file) {
    TempDir scratch;
    const std::string path = file.empty() ? scratch.File("shot.png") : file;
    if (RunToEnd({"import", "-display", name_, "-window", "root", path}) != 0) {
        return {};
    }
    QImage image(QString::fromStdString(path));
    return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace koruvan::test
