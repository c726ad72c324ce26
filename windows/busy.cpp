#include "windows/busy.h"

#include <QApplication>

namespace windows {
namespace {

// Lifts every override cursor for the duration of a dialog and puts them back afterwards.
class CursorLift {
  public:
    CursorLift() {
        while (QApplication::overrideCursor()) {
            QApplication::restoreOverrideCursor();
            ++lifted_;
        }
    }
    ~CursorLift() {
        for (int i = 0; i < lifted_; ++i) QApplication::setOverrideCursor(Qt::WaitCursor);
    }

  private:
    int lifted_ = 0;
};

}  // namespace

// Forwards to the host that was installed when the guard began.
class BusyCursor::DialogHost final : public platform::UiHost {
  public:
    explicit DialogHost(platform::UiHost& inner) : inner_(inner) {}
    bool GetOpenFileName(platform::FileDialogRecord& record) override {
        CursorLift lift;
        return inner_.GetOpenFileName(record);
    }
    bool GetSaveFileName(platform::FileDialogRecord& record) override {
        CursorLift lift;
        return inner_.GetSaveFileName(record);
    }
    bool ChooseColor(platform::HWND owner, std::uint32_t& colour,
                     std::array<std::uint32_t, 16>& custom) override {
        CursorLift lift;
        return inner_.ChooseColor(owner, colour, custom);
    }
    int MessageBox(platform::HWND owner, const std::string& text, const std::string& caption,
                   std::uint32_t style) override {
        CursorLift lift;
        return inner_.MessageBox(owner, text, caption, style);
    }

  private:
    platform::UiHost& inner_;
};

BusyCursor::BusyCursor()
    : previous_(&platform::Ui()), host_(std::make_unique<DialogHost>(*previous_)) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    platform::SetUi(host_.get());
}

BusyCursor::~BusyCursor() {
    platform::SetUi(previous_);
    QApplication::restoreOverrideCursor();
}

}  // namespace windows
