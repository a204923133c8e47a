// How the download controller reaches whoever shows it: the window or the command line.
// Both implement this interface; tests implement it with a recorder. The controller's
// further requests (modal boxes, questions, the exit request, window messages) join it
// with the controller.
#pragma once

#include <string_view>

namespace koruvan::app {

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    // A notice with one OK button. Never blocks the caller, which is often a timer thread:
    // the window posts it to its own thread, the command line prints it to standard error.
    virtual void ShowNotice(std::string_view text, std::string_view title) = 0;
};

}  // namespace koruvan::app
