#pragma once
// The main window: two path fields with browse buttons, the three image slots in their frames,
// the tile/stretch choice and the four command buttons. The image slots themselves (and the
// hidden scratch surface picTemp) live in a compose::SlotSet that the window owns; all pixel work
// happens in the layers below.

#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "compose/slots.h"
#include "platform/ui.h"

class QFrame;
class QLabel;
class QMimeData;
class QPushButton;
class QRadioButton;

namespace windows {
class PathField;
class SlotView;
class SlotViewer;
}  // namespace windows

class frmMain : public QWidget {
    Q_OBJECT
  public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The controls, by the names and indices of the window's layout (tab order: FLD(0), DBTN(0),
    // FLD(1), DBTN(1), BTN(0..3), OPT(0), OPT(1)).
    std::array<windows::PathField*, 2> FLD{};
    std::array<QPushButton*, 2> DBTN{};
    std::array<QPushButton*, 4> BTN{};
    std::array<QLabel*, 3> LBL{};
    std::array<QFrame*, 3> picFrame{};
    std::array<windows::SlotView*, 3> picLoad{};
    std::array<QRadioButton*, 2> OPT{};

    compose::SlotSet& slotSet() { return slots_; }
    // The viewer window of slot index, when one is open.
    windows::SlotViewer* viewer(int index) const;

    // Event handlers.
    void Form_Load();
    void FLD_OLEDragDrop(std::int16_t Index, const QMimeData& Data);
    void DBTN_Click(std::int16_t Index);
    void BTN_Click(std::int16_t Index);

    void ShowMain();

    // Loads the files named on the command line, as the browse buttons would: the first into
    // slot 0, the second into slot 1; further names are ignored. A failed load is reported.
    void OpenFiles(const QStringList& files);

    // Whether a load, composition or write is running (the controls are disabled meanwhile).
    bool busy() const { return busy_; }

    // The owner handle handed to dialogs and message boxes.
    platform::HWND hWnd() const;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void LoadSlot(const QString& path, std::int16_t index);
    void ShowViewer(int index);
    void SyncSlots();
    // Runs a load, composition or write on a worker thread with the slot views frozen and the
    // controls disabled, showing progress when it takes long; returns when it is done, true when
    // the user asked to stop it.
    bool RunLong(const char* text, const std::function<void()>& work);

    compose::SlotSet slots_;
    // Whether each slot has been filled by a load or a composition since the start.
    std::array<bool, 3> filled_{};
    std::array<QPointer<windows::SlotViewer>, 3> viewers_;
    bool busy_ = false;
};
