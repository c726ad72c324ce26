#pragma once
// The output options dialog: JPEG compression rate, progressive JPEG and the PNG setting. It
// shows the settings record when it is created; its save button stores the edited values and
// writes the settings file. The dialog keeps nothing between openings.

#include <QDialog>
#include <array>
#include <cstdint>

class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QScrollBar;

class frmJPEG : public QDialog {
    Q_OBJECT
  public:
    explicit frmJPEG(QWidget* parent = nullptr);

    // The controls, by the names and indices of the dialog's layout.
    std::array<QPushButton*, 2> BTN{};
    std::array<QGroupBox*, 2> BoxLine{};
    std::array<QLabel*, 3> LBL{};
    std::array<QLabel*, 2> DSP{};
    std::array<QScrollBar*, 2> ASCR{};
    QCheckBox* CHK = nullptr;

    // The PNG setting <-> position of ASCR(1): 1 <-> 0, 0 <-> 1, 2 <-> 2. Any other setting
    // opens at position 1 (and is therefore saved as 0).
    static int PngPosition(std::int16_t pngRate);
    static std::int16_t PngRateAt(int position);

    // Event handlers. Form_Load runs from the constructor, before the dialog is first shown.
    void Form_Load();
    void ASCR_Change(std::int16_t Index);
    void BTN_Click(std::int16_t Index);

  protected:
    // No control is a cancel button: Escape does not close the dialog.
    void keyPressEvent(QKeyEvent* event) override;
};
