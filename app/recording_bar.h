// The recording bar (duration, Rec., Stop, file name, Add 10min.) bound to recording control: the
// window's side of RecordingHost. The handlers keep their designed names and are what the user's
// clicks, the ticks and the "-S" start-up call.
#pragma once

#include <QObject>

#include "recording/recording_control.h"

namespace tessaline {

class TFormQuillor;

class TRecordingBar final : public QObject, public RecordingHost {
    Q_OBJECT
  public:
    explicit TRecordingBar(TFormQuillor& form);

    // Connects the buttons and installs the duration box's key filter.
    void Bind();

    void btnRecClick();
    void btnStopClick();
    void btnTimeAddClick();
    // The duration box's key filter: true when the typed character is kept (digits and control
    // characters).
    static bool edtTimeKeyPress(QChar typed);
    void chkFileNameClick();

    // RecordingHost.
    RecordingOptions ReadOptions() override;
    void ApplyCorrections(const RecordingOptions& corrected) override;
    void SaveSettings() override;
    void ShowError(const BilingualText& text) override;
    void ShowError(const std::string& text) override;
    bool AskYesNo(const BilingualText& text) override;
    void FocusDuration() override;
    void ShowDataInfoPage() override;
    void UpdateControlStates() override;
    void SetStatusPanel(int panel, const std::string& text) override;
    void ShowDataInfo(const DataInfoUpdate& update) override;
    void RepaintReservations() override;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    TFormQuillor& form_;
};

}  // namespace tessaline
