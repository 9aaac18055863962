#include "app/file_drops.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>

#include "app/main_form.h"
#include "app/write_page.h"

namespace tessaline {

TFileDrops::TFileDrops(TFormQuillor& form, TWritePage& write_page)
    : QObject(&form), form_(form), write_page_(write_page) {
    QList<QWidget*> targets = {form.edtOpen, form.edtSave, form.TabSheet4};
    targets += form.TabSheet4->findChildren<QWidget*>();
    for (QWidget* target : targets) target->installEventFilter(this);
    form.edtOpen->setAcceptDrops(true);
    form.TabSheet4->setAcceptDrops(true);
}

TFileDrops::Place TFileDrops::PlaceOf(QWidget* target) const {
    if (target == form_.edtOpen) return Place::Input;
    if (target == form_.edtSave) return form_.edtSave->acceptDrops() ? Place::Output : Place::None;
    if (target == form_.TabSheet4 || form_.TabSheet4->isAncestorOf(target)) {
        return form_.edtFile->isEnabled() ? Place::WriteTab : Place::None;
    }
    return Place::None;
}

bool TFileDrops::HandleDroppedFiles(QWidget* target, const QList<QUrl>& urls) {
    if (urls.isEmpty() || !urls.constFirst().isLocalFile()) return false;
    const QString path = urls.constFirst().toLocalFile();
    if (path.isEmpty()) return false;
    switch (PlaceOf(target)) {
        case Place::Input:
            form_.edtOpen->setText(path);
            return true;
        case Place::Output:
            form_.edtSave->setText(path);
            return true;
        case Place::WriteTab:
            form_.edtFile->setText(path);
            write_page_.AddWriteFile(path);
            return true;
        case Place::None:
            break;
    }
    return false;
}

bool TFileDrops::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::DragEnter && type != QEvent::DragMove && type != QEvent::Drop) {
        return false;
    }
    auto* drop = static_cast<QDropEvent*>(event);  // the enter and move events derive from it
    auto* target = qobject_cast<QWidget*>(watched);
    // Text dragged within the edits keeps its ordinary handling.
    if (target == nullptr || drop->mimeData() == nullptr || !drop->mimeData()->hasUrls()) {
        return false;
    }
    const QList<QUrl> urls = drop->mimeData()->urls();
    const bool usable =
        !urls.isEmpty() && urls.constFirst().isLocalFile() && PlaceOf(target) != Place::None;
    if (type == QEvent::Drop) {
        if (usable && HandleDroppedFiles(target, urls)) {
            drop->acceptProposedAction();
        } else {
            drop->ignore();
        }
        return true;
    }
    if (usable) {
        drop->acceptProposedAction();
    } else {
        drop->ignore();
    }
    return true;
}

}  // namespace tessaline
