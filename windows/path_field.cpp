#include "windows/path_field.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace windows {

QStringList PathField::DroppedFiles(const QMimeData& data) {
    QStringList files;
    if (!data.hasUrls()) return files;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile()) files << url.toLocalFile();
    }
    return files;
}

// Accepted whatever it carries: the decision belongs to the drop.
void PathField::dragEnterEvent(QDragEnterEvent* event) { event->acceptProposedAction(); }

void PathField::dragMoveEvent(QDragMoveEvent* event) { event->acceptProposedAction(); }

void PathField::dropEvent(QDropEvent* event) {
    // QLineEdit's own handler would paste dropped text into the field; the field only ever
    // shows the path of a loaded image.
    event->acceptProposedAction();
    Q_EMIT dropped(event->mimeData());
}

}  // namespace windows
