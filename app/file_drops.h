// Files dropped on the window: on the batch tab's input box, on its output box while the output
// folder is not fixed, and anywhere on the writing tab while its file box is enabled (the file
// joins the write list). Only the first file of a drop counts, whole, and only a local one.
#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

class QWidget;

namespace tessaline {

class TFormQuillor;
class TWritePage;

class TFileDrops final : public QObject {
    Q_OBJECT
  public:
    TFileDrops(TFormQuillor& form, TWritePage& write_page);

    // What a drop of urls on target does; false when the drop is not taken there.
    bool HandleDroppedFiles(QWidget* target, const QList<QUrl>& urls);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    enum class Place { None, Input, Output, WriteTab };
    Place PlaceOf(QWidget* target) const;

    TFormQuillor& form_;
    TWritePage& write_page_;
};

}  // namespace tessaline
