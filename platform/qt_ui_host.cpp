#include "platform/qt_ui_host.h"

#include <QColor>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <algorithm>
#include <string_view>
#include <vector>

// Flags of the file dialog record that Qt has no counterpart for are ignored: OFN_HIDEREADONLY
// (Qt's dialog has no read-only box to hide). Qt's own dialogs are used rather than the
// desktop's, so that every desktop shows the same behaviour (the create question below needs
// to see the choice before the dialog closes).

namespace platform {
namespace {

QWidget* OwnerWidget(HWND owner) { return reinterpret_cast<QWidget*>(owner); }
QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }
std::string ToUtf8(const QString& text) { return text.toStdString(); }

// A file dialog that asks before accepting a file that does not exist yet, as the Windows
// dialogs do for OFN_CREATEPROMPT; "No" returns to the dialog.
class FileDialog final : public QFileDialog {
  public:
    FileDialog(QWidget* owner, bool createPrompt)
        : QFileDialog(owner), createPrompt_(createPrompt) {}

    void accept() override {
        const QStringList files = selectedFiles();
        if (createPrompt_ && files.size() == 1 && !QFileInfo::exists(files.front()) &&
            !ConfirmCreate(files.front())) {
            return;
        }
        QFileDialog::accept();
    }

  private:
    bool ConfirmCreate(const QString& path) {
        const QString question =
            path + QStringLiteral("\nこのファイルは存在しません。\nファイルを作成しますか？");
        return QMessageBox::question(this, windowTitle(), question,
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    }

    bool createPrompt_;
};

QFileDialog::FileMode OpenMode(std::uint32_t flags) {
    if (flags & OFN_ALLOWMULTISELECT) return QFileDialog::ExistingFiles;
    if (flags & OFN_FILEMUSTEXIST) return QFileDialog::ExistingFile;
    return QFileDialog::AnyFile;
}

void ApplyRecord(QFileDialog& dialog, const FileDialogRecord& record, const QStringList& filters) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // The save command asks its own overwrite question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (record.hasTitle) dialog.setWindowTitle(FromUtf8(record.title));
    if (record.hasInitialDir) dialog.setDirectory(FromUtf8(record.initialDir));
    if (filters.isEmpty()) return;
    dialog.setNameFilters(filters);
    // An index outside the list (0 would be a custom filter, which we never pass) shows the first.
    const qsizetype index = record.filterIndex >= 1 && record.filterIndex <= filters.size()
                                ? qsizetype(record.filterIndex) - 1
                                : 0;
    dialog.selectNameFilter(filters[index]);
}

// One file: its path. Several: the folder, a NUL, each name followed by a NUL, and one more NUL.
std::string FileBuffer(const QStringList& files) {
    if (files.size() == 1) return ToUtf8(files.front());
    const QDir folder = QFileInfo(files.front()).absoluteDir();
    std::string buffer = ToUtf8(folder.absolutePath()) + '\0';
    for (const QString& file : files) buffer += ToUtf8(folder.relativeFilePath(file)) + '\0';
    return buffer + '\0';
}

bool RunFileDialog(FileDialogRecord& record, QFileDialog::AcceptMode mode) {
    const QStringList filters =
        record.hasFilter ? NameFiltersFromList(record.filter) : QStringList();
    FileDialog dialog(OwnerWidget(record.owner), (record.flags & OFN_CREATEPROMPT) != 0);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? OpenMode(record.flags)
                                                       : QFileDialog::AnyFile);
    ApplyRecord(dialog, record, filters);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    record.file = FileBuffer(dialog.selectedFiles());
    if (const qsizetype shown = filters.indexOf(dialog.selectedNameFilter()); shown >= 0) {
        record.filterIndex = std::uint32_t(shown + 1);
    }
    return true;
}

QColor FromColorRef(std::uint32_t colour) {
    return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

std::uint32_t ToColorRef(const QColor& colour) {
    return std::uint32_t(colour.red()) | std::uint32_t(colour.green()) << 8 |
           std::uint32_t(colour.blue()) << 16;
}

QMessageBox::Icon IconOf(std::uint32_t style) {
    switch (style & 0xF0) {
        case MB_ICONSTOP:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        default:
            return QMessageBox::NoIcon;
    }
}

// The buttons in their Windows order, which MB_DEFBUTTONn counts in. Only the two button sets
// the program uses are known; any other shows OK.
std::vector<QMessageBox::StandardButton> ButtonsOf(std::uint32_t style) {
    if ((style & 0xF) == MB_YESNO) return {QMessageBox::Yes, QMessageBox::No};
    return {QMessageBox::Ok};
}

int AnswerOf(QMessageBox::StandardButton button) {
    switch (button) {
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        case QMessageBox::Cancel:
            return IDCANCEL;
        default:
            return IDOK;
    }
}

}  // namespace

QStringList NameFiltersFromList(const std::string& filter) {
    std::vector<std::string_view> elements;
    for (std::string_view rest(filter); !rest.empty();) {
        const auto nul = rest.find('\0');
        if (nul == 0) break;  // the empty element that closes the list
        elements.push_back(rest.substr(0, nul));
        rest = nul == rest.npos ? std::string_view() : rest.substr(nul + 1);
    }
    QStringList filters;
    for (std::size_t i = 0; i + 1 < elements.size(); i += 2) {
        const QString patterns =
            QString::fromUtf8(elements[i + 1].data(), qsizetype(elements[i + 1].size()));
        const QStringList list = patterns.split(u';', Qt::SkipEmptyParts);
        filters << QString::fromUtf8(elements[i].data(), qsizetype(elements[i].size())) +
                       QStringLiteral(" (") + list.join(u' ') + u')';
    }
    return filters;
}

bool QtUiHost::GetOpenFileName(FileDialogRecord& record) {
    return RunFileDialog(record, QFileDialog::AcceptOpen);
}

bool QtUiHost::GetSaveFileName(FileDialogRecord& record) {
    return RunFileDialog(record, QFileDialog::AcceptSave);
}

bool QtUiHost::ChooseColor(HWND owner, std::uint32_t& colour,
                           std::array<std::uint32_t, 16>& custom) {
    // Qt keeps one application-wide table of custom colours; it is loaded from the caller's and
    // read back into it, so that the caller's table is the one that counts.
    const int count = std::min(int(custom.size()), QColorDialog::customCount());
    for (int i = 0; i < count; ++i) QColorDialog::setCustomColor(i, FromColorRef(custom[i]));
    QColorDialog dialog(FromColorRef(colour), OwnerWidget(owner));
    dialog.setOption(QColorDialog::DontUseNativeDialog);
    const bool chosen = dialog.exec() == QDialog::Accepted;
    for (int i = 0; i < count; ++i) custom[i] = ToColorRef(QColorDialog::customColor(i));
    if (chosen) colour = ToColorRef(dialog.selectedColor());
    return chosen;
}

int QtUiHost::MessageBox(HWND owner, const std::string& text, const std::string& caption,
                         std::uint32_t style) {
    const auto buttons = ButtonsOf(style);
    QMessageBox box(IconOf(style), FromUtf8(caption), FromUtf8(text), QMessageBox::NoButton,
                    OwnerWidget(owner));
    for (const auto button : buttons) box.addButton(button);
    const std::size_t defaultIndex = (style & MB_DEFBUTTON2) ? 1 : 0;
    box.setDefaultButton(buttons[std::min(defaultIndex, buttons.size() - 1)]);
    box.exec();
    const QMessageBox::StandardButton pressed = box.standardButton(box.clickedButton());
    // Closed without a button (only possible where Escape has no button to press): the last
    // button, the harmless answer, as Escape would give.
    return AnswerOf(pressed != QMessageBox::NoButton ? pressed : buttons.back());
}

}  // namespace platform
