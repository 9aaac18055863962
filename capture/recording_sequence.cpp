#include "capture/recording_sequence.h"

#include <cerrno>

#include "capture/device_box.h"
#include "capture/ds_capture.h"
#include "capture/message_sink.h"
#include "stream/capture_data_path.h"
#include "stream/live_converter.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"
#include "stream/ts_analyser.h"
#include "stream/ts_format.h"

namespace tessaline {

std::string CannotOpenOutputText(bool use_english) {
    return use_english ? "Cannot open output file" : "ファイルをオープンできません";
}

std::string NotStoppedText(bool use_english) {
    return use_english ? "The last recording has not stopped: its deck did not stop, so its file "
                         "is still open. Press stop again or choose the deck again."
                       : "前の録画が止まっていません。デバイスが停止しないため、ファイルが開いた"
                         "ままです。もう一度停止するか、デバイスを選び直してください。";
}

const VanishedTexts kFileVanishedText = {
    "The folder of %1 was deleted while recording. The recording goes on and is written back "
    "when it stops.",
    "録画中に %1 のフォルダが削除されました。録画は続けられ、停止時に書き戻されます。"};
const VanishedTexts kFileSavedText = {
    "The recording's folder had been deleted; the recording was written back to %1.",
    "録画先のフォルダが削除されていたため、録画を %1 に書き戻しました。"};
const VanishedTexts kFilePartlySavedText = {
    "The recording's folder had been deleted, and only part of the recording could be written "
    "back: %3 of its %4 bytes are in %1 (%2).",
    "録画先のフォルダが削除されていたため書き戻しましたが、一部しか保存できませんでした: %4 "
    "バイトのうち %3 バイトを %1 に保存しました（%2）。"};
const VanishedTexts kFileNotSavedText = {
    "The recording's folder had been deleted, and %1 could not be written back: %2",
    "録画先のフォルダが削除されていたため %1 を書き戻そうとしましたが、できませんでした: %2"};
const VanishedTexts kFileMovedText = {
    "%1 was moved while recording (its folder renamed?); the recording is now %2.",
    "録画中に %1 が移動されました（フォルダの名前が変更されましたか？）。録画は %2 にあります。"};
const VanishedTexts kFileNotClosedText = {
    "Closing %1 failed; the recording may be incomplete: %2",
    "%1 を閉じることができませんでした。録画が不完全な可能性があります: %2"};

RecordingSequence::RecordingSequence(CDSCapture& capture, StreamContext& stream,
                                     CaptureDataPath& data_path, MessageSink& messages)
    : capture_(capture),
      stream_(stream),
      data_path_(data_path),
      messages_(messages),
      analyser_(std::make_unique<TsAnalyser>()) {}

RecordingSequence::~RecordingSequence() {
    if (file_ && !Stop()) {
        // The graph would not stop: a callback may still write through the data path, so the
        // descriptor must not be closed and handed to some other file.
        static_cast<void>(file_.release());
    }
}

void RecordingSequence::ReportNotStopped(bool use_english) {
    messages_.ShowError(ErrorCaption(use_english), NotStoppedText(use_english) + "\n" + path_);
}

bool RecordingSequence::PrepareGraph(bool use_english) {
    // A recording whose graph would not stop still holds its file. Stopping may work now (the
    // deck came back, or it was chosen again, which released the old graph); else say why.
    if (file_ && !Stop()) {
        ReportNotStopped(use_english);
        return false;
    }
    capture_.ClearAddedFilters();
    return capture_.AddFilterByName("SampleGrabber") && capture_.ConnectChain(true) &&
           capture_.SetupSampleGrabber();
}

RecordingSequence::StartResult RecordingSequence::Start(const std::string& path, bool use_english) {
    if (file_) {
        ReportNotStopped(use_english);
        return StartResult::Busy;
    }
    auto file = std::make_unique<OutputFile>();
    if (!file->Create(path)) {
        messages_.ShowError(ErrorCaption(use_english),
                            CannotOpenOutputText(use_english) + "\n" + path + ": " + file->error());
        return StartResult::FileNotCreated;
    }
    return Begin(std::move(file));
}

RecordingSequence::StartResult RecordingSequence::StartNew(const NameSeriesFunction& names,
                                                           bool use_english) {
    if (file_) {
        ReportNotStopped(use_english);
        return StartResult::Busy;
    }
    auto file = std::make_unique<OutputFile>();
    std::string tried;
    // Another recording may take a name between the look and the creation: then the next one.
    for (unsigned n = 0; n < 1000000; ++n) {
        tried = names(n);
        if (tried.empty()) break;
        if (file->CreateNew(tried)) return Begin(std::move(file));
        if (errno != EEXIST) break;
    }
    messages_.ShowError(ErrorCaption(use_english),
                        CannotOpenOutputText(use_english) + "\n" + tried + ": " +
                            (file->error().empty() ? "no free name" : file->error()));
    return StartResult::FileNotCreated;
}

RecordingSequence::StartResult RecordingSequence::Begin(std::unique_ptr<OutputFile> file) {
    // A new recording: no stream values shown until they are found again, PIDs searched again.
    stream_.stats.VideoValid = 0;
    stream_.stats.AudioValid = 0;
    stream_.stats.WriteFailures = 0;
    stream_.mux.AvPesWritten = 0;
    PrepareLiveConversion(stream_);

    // A program stream begins with headers: what it replaces goes only with its audio or video.
    if (stream_.options.ConvPES) file->HoldNameUntilTaken();
    file_ = std::move(file);
    path_ = file_->path();
    close_error_.clear();
    write_error_.clear();
    saved_path_.clear();
    save_error_.clear();
    saved_bytes_ = 0;
    nothing_kept_ = false;
    size_ = 0;
    moved_to_.clear();
    written_sha256_.clear();
    written_bytes_ = 0;
    data_path_.SetOutputFile(file_.get());
    ResetCarryOver(stream_);
    analyser_->Reset();
    data_path_.SetAnalyser(analyser_.get());
    written_hash_.Reset();
    stream_.OutputHash = &written_hash_;

    if (!capture_.RunGraph()) {
        // RunGraph has already tried to stop the graph and said why it did not run. The file is
        // closed now when the graph surely stopped (and, holding nothing, not kept), else by a
        // later Stop, without a second wait and a second report here.
        if (!capture_.GraphMayRun()) CloseFile();
        return StartResult::NotRunning;
    }
    return StartResult::Started;
}

bool RecordingSequence::Stop() {
    if (!file_) return true;
    // Without media control nothing can have run; otherwise the graph must be stopped and the
    // callback gone before the file may close.
    if (!capture_.StopGraph() && capture_.HasMediaControl()) return false;
    CloseFile();
    return true;
}

bool RecordingSequence::FileVanished() const {
    return file_ && file_->Unlinked();
}

uint64_t RecordingSequence::SizeNow() const {
    return file_ ? file_->Size() : size_;
}

bool RecordingSequence::OutputIsPipe() const {
    return file_ && file_->IsPipe();
}

void RecordingSequence::CloseFile() {
    if (stream_.stats.WriteFailures > 0) write_error_ = file_->error();
    // A transport stream whose writes failed (a full disk) may end inside a packet; readers take
    // the torn packet for damage, so the file ends at the last whole packet instead.
    if (stream_.stats.WriteFailures != 0 && !stream_.options.ConvPES) {
        const int delivered = data_path_.packet_size();
        const int unit = stream_.options.TrimPacket ? kTsPacketSize
                         : delivered != 0           ? delivered
                                                    : kSourcePacketSize;
        file_->CutToWholeUnits(static_cast<size_t>(unit));
    }
    // Nothing received, or a program stream that never got its audio or video: nothing to keep.
    const bool keep =
        file_->bytes_written() > 0 && !(stream_.options.ConvPES && stream_.mux.AvPesWritten == 0);
    if (keep) {
        size_ = file_->Size();
        // A folder deleted during the recording took the file's name with it, not its contents:
        // they are still reachable through the open descriptor, and only until it is closed.
        if (file_->Unlinked()) {
            if (!file_->SaveUnlinked()) save_error_ = file_->error();
            if (file_->saved_bytes() > 0) {
                saved_path_ = file_->saved_path();
                saved_bytes_ = file_->saved_bytes();
            }
        }
        moved_to_ = file_->WhereNow();
    }
    // The hash saw every byte written; it stands for the file unless the file was cut back.
    written_bytes_ = file_->bytes_written();
    if (stream_.stats.WriteFailures == 0 && written_hash_.bytes() == written_bytes_) {
        written_sha256_ = written_hash_.Hex();
    }
    stream_.OutputHash = nullptr;
    data_path_.SetAnalyser(nullptr);
    analyser_->Finish();
    if (!file_->Finish(keep)) close_error_ = file_->error();
    nothing_kept_ = !keep;
    data_path_.SetOutputFile(nullptr);
    ResetCarryOver(stream_);
    file_.reset();
}

}  // namespace tessaline
