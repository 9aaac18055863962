#include "app/data_info_page.h"

#include "app/main_form.h"

namespace tessaline {

namespace {
void Set(QLabel* panel, const std::optional<std::string>& text) {
    if (!text) return;
    const QString value = QString::fromStdString(*text);
    if (panel->text() != value) panel->setText(value);
}
}  // namespace

void TDataInfoPage::Apply(const DataInfoUpdate& u) {
    TFormQuillor& f = form_;
    Set(f.pnlVSize, u.pnlVSize);
    Set(f.pnlVAspect, u.pnlVAspect);
    Set(f.pnlVFrameRate, u.pnlVFrameRate);
    Set(f.pnlVBitRate, u.pnlVBitRate);
    Set(f.pnlVPTS, u.pnlVPTS);
    Set(f.pnlEVPTS, u.pnlEVPTS);
    Set(f.pnlDeltaVPTS, u.pnlDeltaVPTS);
    Set(f.pnlALayer, u.pnlALayer);
    Set(f.pnlABitRate, u.pnlABitRate);
    Set(f.pnlAFrequency, u.pnlAFrequency);
    Set(f.pnlDelay, u.pnlDelay);
    Set(f.pnlAPTS, u.pnlAPTS);
    Set(f.pnlEAPTS, u.pnlEAPTS);
    Set(f.pnlDeltaAPTS, u.pnlDeltaAPTS);
}

}  // namespace tessaline
