#include "platform/qt_ui_host.h"

#include <QColor>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
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

// Room beside the longest name in the list of places, for its selection's outline.
constexpr int kPlacesRoom = 8;
// The columns of Qt's file model.
constexpr int kSizeColumn = 1;
constexpr int kDateColumn = 3;

// The file list's sizes and dates in the program's language. Qt's file model formats them with
// the system's locale (LANG, LC_ALL: English under the common C.UTF-8) rather than the default
// locale that the program sets; here they are formatted again with the default one.
class LocalColumns final : public QIdentityProxyModel {
  public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files ||
            (index.column() != kSizeColumn && index.column() != kDateColumn)) {
            return QIdentityProxyModel::data(index, role);
        }
        const QModelIndex source = mapToSource(index);
        if (index.column() == kSizeColumn) {
            // A folder shows no size, as in Qt's own column.
            return files->isDir(source) ? QString()
                                        : QLocale().formattedDataSize(files->size(source));
        }
        return QLocale().toString(files->lastModified(source), QLocale::ShortFormat);
    }
};

// Puts a window's frame centred on the owner's frame, moved only as far as needed to keep it on
// the owner's screen (a dialog larger than a window near the screen's corner cannot be centred).
// Until the window manager has framed the window its frame is unknown; it is taken to be as
// thick as the owner's.
void CentreOver(QWidget& window, const QWidget& owner) {
    const QRect ownerFrame = owner.frameGeometry();
    const QRect ownerInner = owner.geometry();
    const auto marginsOf = [](const QRect& outer, const QRect& inner) {
        return QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                        outer.right() - inner.right(), outer.bottom() - inner.bottom());
    };
    QMargins frame = marginsOf(window.frameGeometry(), window.geometry());
    if (frame.isNull()) frame = marginsOf(ownerFrame, ownerInner);
    QRect target(QPoint(0, 0), window.size().grownBy(frame));
    target.moveCenter(ownerFrame.center());
    if (const QScreen* screen = owner.screen()) {
        const QRect room = screen->availableGeometry();
        // Right and bottom first, then left and top: the title bar stays within reach.
        if (target.right() > room.right()) target.moveRight(room.right());
        if (target.bottom() > room.bottom()) target.moveBottom(room.bottom());
        if (target.left() < room.left()) target.moveLeft(room.left());
        if (target.top() < room.top()) target.moveTop(room.top());
    }
    // A window's position is that of its frame.
    window.move(target.topLeft());
}

// A file dialog that
// - returns exactly the one name typed in its name field, or chosen in its list, where one file
//   is asked for: Qt's own dialog reads quotes in the field as a list of names ("a.png" "b.png"
//   gave two files, and a quote inside a name dropped what stood before it);
// - asks before accepting a file that does not exist yet, as the Windows dialogs do for
//   OFN_CREATEPROMPT; "No" returns to the dialog;
// - opens centred over its owner, its list's columns as wide as what they show.
class FileDialog final : public QFileDialog {
  public:
    FileDialog(QWidget* owner, bool createPrompt)
        : QFileDialog(owner), owner_(owner), createPrompt_(createPrompt) {}

    // Call once the mode and the options are set: the widgets exist from then on.
    void Prepare() {
        setProxyModel(new LocalColumns(this));
        nameField_ = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (OneName() && nameField_) {
            // Runs after Qt's own check of the typed text, which refuses an existing name that
            // holds a quote (it reads the quote as a separator).
            connect(nameField_, &QLineEdit::textChanged, this, [this] { EnableForTypedName(); });
        }
        if (auto* files = qobject_cast<QFileSystemModel*>(proxyModel()->sourceModel())) {
            // Queued: the view takes in the new rows before their widths are measured.
            connect(
                files, &QFileSystemModel::directoryLoaded, this, [this] { FitToContents(); },
                Qt::QueuedConnection);
        }
    }

    // The one name accepted, in the single-name modes.
    const QString& chosen() const { return chosen_; }

    void accept() override {
        if (!OneName()) {
            // Several files: Qt's own list syntax, the only way to type more than one name.
            QFileDialog::accept();
            return;
        }
        const QString typed = nameField_ ? nameField_->text() : QString();
        if (typed == QStringLiteral("..")) {
            QFileDialog::accept();  // Qt's way of going up one folder
            return;
        }
        QString path;
        if (!typed.isEmpty()) {
            path = NameInFolder(typed);
        } else if (const QStringList files = selectedFiles(); files.size() == 1) {
            path = files.front();
        }
        if (path.isEmpty()) return;
        const QFileInfo info(path);
        if (info.isDir()) {
            setDirectory(info.absoluteFilePath());
            if (nameField_) nameField_->clear();
            return;
        }
        if (fileMode() == ExistingFile && !info.exists()) {
            QMessageBox::warning(this, windowTitle(),
                                 QFileDialog::tr("%1\nFile not found.\nPlease verify the "
                                                 "correct file name was given.")
                                     .arg(info.fileName()));
            return;
        }
        if (createPrompt_ && !info.exists() && !ConfirmCreate(path)) return;
        chosen_ = path;
        QDialog::accept();
    }

  protected:
    void showEvent(QShowEvent* event) override {
        QFileDialog::showEvent(event);
        if (!placed_ && owner_) {
            CentreOver(*this, *owner_);
            placed_ = true;
        }
    }

  private:
    bool OneName() const { return fileMode() == AnyFile || fileMode() == ExistingFile; }

    // The typed text as a path: as it stands, relative to the folder shown unless absolute. A
    // leading "~" stands for the home folder unless the folder holds a file of that name.
    QString NameInFolder(const QString& typed) const {
        const QDir folder = directory();
        if (typed.startsWith(u'~') && !QFileInfo::exists(folder.filePath(typed))) {
            if (typed == QStringLiteral("~")) return QDir::homePath();
            if (typed.startsWith(QStringLiteral("~/"))) return QDir::homePath() + typed.mid(1);
        }
        return QDir::isAbsolutePath(typed) ? typed : folder.filePath(typed);
    }

    void EnableForTypedName() {
        const QString typed = nameField_->text();
        if (!typed.contains(u'"')) return;  // Qt's own check is right for every other name
        auto* buttons = findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QPushButton* accept =
            buttons ? buttons->button(acceptMode() == AcceptOpen ? QDialogButtonBox::Open
                                                                 : QDialogButtonBox::Save)
                    : nullptr;
        if (accept)
            accept->setEnabled(fileMode() == AnyFile || QFileInfo::exists(NameInFolder(typed)));
    }

    // Sizes the list's columns to what they show, widens the places beside it to theirs, and
    // grows the dialog with them, up to the screen's width; the first time the dialog grows it
    // is centred again.
    void FitToContents() {
        auto* list = findChild<QTreeView*>(QStringLiteral("treeView"));
        if (!list || !list->model()) return;
        QHeaderView* header = list->header();
        int wanted = 0;
        for (int column = 0; column < header->count(); ++column) {
            if (header->isSectionHidden(column)) continue;
            // QAbstractItemView's public face of the tree's own measure of the rows it shows.
            const int width =
                std::max(static_cast<QAbstractItemView*>(list)->sizeHintForColumn(column),
                         header->sectionSizeHint(column));
            // Exactly that: widths kept from an earlier dialog (Qt stores them) do not count.
            header->resizeSection(column, width);
            wanted += header->sectionSize(column);
        }
        // Room for the vertical scroll bar too, should more rows come than fit.
        const int bar = list->verticalScrollBar()->isVisible()
                            ? 0
                            : list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
        int grow = std::max(0, wanted + bar - list->viewport()->width());
        auto* places = findChild<QListView*>(QStringLiteral("sidebar"));
        auto* splitter = findChild<QSplitter*>(QStringLiteral("splitter"));
        if (places && splitter && places->model() && splitter->count() == 2) {
            const int more =
                places->sizeHintForColumn(0) + kPlacesRoom - places->viewport()->width();
            if (more > 0) {
                QList<int> sizes = splitter->sizes();
                sizes[0] += more;
                splitter->setSizes(sizes);
                grow += more;
            }
        }
        if (grown_ || grow <= 0) return;
        grown_ = true;
        const QScreen* shown = screen();
        const int room = shown ? shown->availableGeometry().width() : width() + grow;
        resize(std::min(width() + grow, room), height());
        if (owner_) CentreOver(*this, *owner_);
    }

    bool ConfirmCreate(const QString& path) {
        const QString question =
            path + QStringLiteral("\nこのファイルは存在しません。\nファイルを作成しますか？");
        return QMessageBox::question(this, windowTitle(), question,
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    }

    QWidget* owner_;
    bool createPrompt_;
    QLineEdit* nameField_ = nullptr;
    QString chosen_;
    bool placed_ = false;
    bool grown_ = false;
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
    dialog.Prepare();
    if (mode == QFileDialog::AcceptSave) KeepTypedName(dialog);
    if (dialog.exec() != QDialog::Accepted) return false;
    if (!dialog.chosen().isEmpty()) {
        record.file = ToUtf8(dialog.chosen());
    } else if (const QStringList files = dialog.selectedFiles(); !files.isEmpty()) {
        record.file = FileBuffer(files);
    } else {
        return false;
    }
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
