#pragma once
// A one-line path field that takes files dropped from the desktop.

#include <QLineEdit>
#include <QStringList>

class QMimeData;

namespace windows {

// Any drag may end over the field; what a drop means is decided when it lands. Data with a list
// of files goes to the filesDropped handler; anything else (plain text included) is dropped on
// the floor, so the field never changes its text by a drop.
class PathField : public QLineEdit {
    Q_OBJECT
  public:
    using QLineEdit::QLineEdit;

    // The local files named by the data's URL list, in the list's order; URLs of other schemes
    // are left out. Empty when the data holds no URL list.
    static QStringList DroppedFiles(const QMimeData& data);

  Q_SIGNALS:
    void dropped(const QMimeData* data);

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};

}  // namespace windows
