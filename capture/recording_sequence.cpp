#include "capture/recording_sequence.h"

#include "capture/device_box.h"
#include "capture/ds_capture.h"
#include "capture/message_sink.h"
#include "stream/capture_data_path.h"
#include "stream/live_converter.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"

namespace tessaline {

std::string CannotOpenOutputText(bool use_english) {
    return use_english ? "Cannot open output file" : "ファイルをオープンできません";
}

RecordingSequence::RecordingSequence(CDSCapture& capture, StreamContext& stream,
                                     CaptureDataPath& data_path, MessageSink& messages)
    : capture_(capture), stream_(stream), data_path_(data_path), messages_(messages) {}

RecordingSequence::~RecordingSequence() {
    if (file_ && !Stop()) {
        // The graph would not stop: a callback may still write through the data path, so the
        // descriptor must not be closed and handed to some other file.
        static_cast<void>(file_.release());
    }
}

bool RecordingSequence::PrepareGraph() {
    if (file_) return false;
    capture_.ClearAddedFilters();
    return capture_.AddFilterByName("SampleGrabber") && capture_.ConnectChain(true) &&
           capture_.SetupSampleGrabber();
}

RecordingSequence::StartResult RecordingSequence::Start(const std::string& path, bool use_english) {
    if (file_) return StartResult::Busy;

    // A new recording: no stream values shown until they are found again, PIDs searched again.
    stream_.stats.VideoValid = 0;
    stream_.stats.AudioValid = 0;
    stream_.stats.WriteFailures = 0;
    PrepareLiveConversion(stream_);

    auto file = std::make_unique<OutputFile>();
    if (!file->Create(path)) {
        messages_.ShowError(ErrorCaption(use_english),
                            CannotOpenOutputText(use_english) + "\n" + path + ": " + file->error());
        return StartResult::FileNotCreated;
    }
    file_ = std::move(file);
    path_ = path;
    close_error_.clear();
    write_error_.clear();
    data_path_.SetOutputFile(file_.get());
    ResetCarryOver(stream_);

    if (!capture_.RunGraph()) {
        // The file stays on disk, empty; it is closed once the graph is surely stopped.
        Stop();
        return StartResult::NotRunning;
    }
    return StartResult::Started;
}

bool RecordingSequence::Stop() {
    if (!file_) return true;
    // Without media control nothing can have run; otherwise the graph must be stopped and the
    // callback gone before the file may close.
    if (!capture_.StopGraph() && capture_.HasMediaControl()) return false;
    if (stream_.stats.WriteFailures > 0) write_error_ = file_->error();
    if (!file_->Close()) close_error_ = file_->error();
    data_path_.SetOutputFile(nullptr);
    ResetCarryOver(stream_);
    file_.reset();
    return true;
}

}  // namespace tessaline
