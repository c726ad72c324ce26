#pragma once
// The wait cursor for long work (loading, composing, saving), as a scope guard.

#include <memory>

#include "platform/ui.h"

namespace windows {

// Shows the wait cursor for the guard's lifetime. A file dialog or message box opened through
// platform::Ui() meanwhile gets the normal cursor back while it is open: the save command asks
// for a file name and may ask about overwriting inside the same busy stretch.
class BusyCursor {
  public:
    BusyCursor();
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;

  private:
    class DialogHost;
    platform::UiHost* previous_;
    std::unique_ptr<DialogHost> host_;
};

}  // namespace windows
