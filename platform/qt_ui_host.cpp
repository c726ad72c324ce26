#include "platform/qt_ui_host.h"

#include <QColor>
#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
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

// Room in a title bar besides the title: the window icon and the close (and other) buttons,
// generously, since the window manager's own sizes are unknown here.
constexpr int kTitleBarExtras = 140;

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

// Qt's save dialog replaces the typed name's extension with the first pattern of every file type
// the user picks. The save command settles the extension from the type itself and must see the
// name as typed ("result.jpg" saved as BMP is "result.jpg.BMP"), so picking a type here only
// changes what the list shows and puts the typed name back.
void KeepTypedName(QFileDialog& dialog) {
    auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    auto* name = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!types || !name) return;
    QObject::disconnect(types, &QComboBox::activated, &dialog, nullptr);
    QObject::connect(types, &QComboBox::activated, &dialog, [&dialog, name](int index) {
        const QString typed = name->text();
        const QStringList filters = dialog.nameFilters();
        if (index >= 0 && index < filters.size()) dialog.selectNameFilter(filters[index]);
        if (name->text() != typed) name->setText(typed);
    });
}

QFileDialog::FileMode OpenMode(std::uint32_t flags) {
    if (flags & OFN_ALLOWMULTISELECT) return QFileDialog::ExistingFiles;
    if (flags & OFN_FILEMUSTEXIST) return QFileDialog::ExistingFile;
    return QFileDialog::AnyFile;
}

void ApplyRecord(QFileDialog& dialog, const FileDialogRecord& record, const QStringList& filters) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    // The save command asks its own overwrite question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    // The type list shows the descriptions as the caller wrote them, without their patterns.
    dialog.setOption(QFileDialog::HideNameFilterDetails);
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
    if (mode == QFileDialog::AcceptSave) KeepTypedName(dialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    record.file = FileBuffer(dialog.selectedFiles());
    // The dialog names the type shown by its description alone when it hides the patterns.
    const QString shown = dialog.selectedNameFilter();
    for (qsizetype i = 0; i < filters.size(); ++i) {
        if (filters[i] == shown || filters[i].startsWith(shown + QStringLiteral(" ("))) {
            record.filterIndex = std::uint32_t(i + 1);
            break;
        }
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

// A box sizes itself to its text alone, and the window manager cuts a longer title short
// ("システムエラー" over "21:Is a directory"). A spacer across the bottom row makes the box at
// least as wide as its title plus the title bar's icon and buttons.
void GiveRoomForTitle(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid) return;
    const int width = box.fontMetrics().horizontalAdvance(box.windowTitle()) + kTitleBarExtras;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                  grid->rowCount(), 0, 1, grid->columnCount());
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
    GiveRoomForTitle(box);
    const std::size_t defaultIndex = (style & MB_DEFBUTTON2) ? 1 : 0;
    box.setDefaultButton(buttons[std::min(defaultIndex, buttons.size() - 1)]);
    box.exec();
    const QMessageBox::StandardButton pressed = box.standardButton(box.clickedButton());
    // Closed without a button (only possible where Escape has no button to press): the last
    // button, the harmless answer, as Escape would give.
    return AnswerOf(pressed != QMessageBox::NoButton ? pressed : buttons.back());
}

}  // namespace platform
