#include "capture/deck_writer.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "capture/ds_capture.h"
#include "capture/framework.h"
#include "capture/pause.h"
#include "capture/source_packets.h"
#include "capture/write_list.h"
#include "stream/input_file.h"

namespace tessaline {
namespace {

constexpr int kMinimumLeadMs = 1000;
// After the record command, before the file starts to play.
constexpr int kAfterRecordMs = 1000;
// Enough packets to tell their size by.
constexpr size_t kPacketProbeBytes = 64 * 1024;

}  // namespace

std::string DeckStoppedText(const DeckStoppedRecording& stop) {
    std::string text = stop.path + " (row " + std::to_string(stop.row) +
                       "): the deck was no longer recording (it was in " +
                       DeckTransportText(stop.transport);
    if (stop.position) text += " at " + TapePositionText(stop.position);
    text += ")";
    if (stop.position && stop.file_start) {
        const double seconds = std::max(0.0, *stop.position - *stop.file_start);
        char figure[64];
        std::snprintf(figure, sizeof figure, "%.0f s", std::ceil(seconds));
        text += std::string(", so at most the first ") + figure + " of the file are on tape";
    } else {
        text += ", so the rest of the file from some point on is not on tape";
    }
    return text;
}

int RecordPauseLeadMs(const std::string& text) {
    int value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    if (first != last && *first == '+') ++first;
    const auto [end, error] = std::from_chars(first, last, value);
    if (first == last || error != std::errc() || end != last) return kMinimumLeadMs;
    return value < kMinimumLeadMs ? kMinimumLeadMs : value;
}

DeckWriter::DeckWriter(CDSCapture& capture, WriteList& list, DeckWriterHooks hooks)
    : capture_(capture), list_(list), hooks_(std::move(hooks)) {}

void DeckWriter::SetWriting(bool writing) {
    writing_ = writing;
    if (hooks_.update_control_states) hooks_.update_control_states();
}

bool CheckFileToWrite(const std::string& path, std::string& error) {
    InputFile file;
    if (!file.Open(path)) {
        // A file that is not there is left to the file source, whose report is the designed one.
        if (errno == ENOENT) return true;
        error = path + ": cannot open: " + file.error();
        return false;
    }
    std::vector<uint8_t> probe(kPacketProbeBytes);
    const long n = file.Read(probe.data(), probe.size());
    const int64_t size = file.Size();
    if (n < 0 || size < 0) {
        error = path + ": cannot read: " + file.error();
        return false;
    }
    if (n == 0) {
        error = path + ": the file is empty";
        return false;
    }
    const int packet_size = DetectPacketSize(probe.data(), static_cast<size_t>(n));
    if (packet_size == 0) {
        error = path + ": not a transport stream of 188- or 192-byte packets";
        return false;
    }
    // A torn last packet would go on tape as a damaged one.
    if (size % packet_size != 0) {
        error = path + ": the file ends with an incomplete packet";
        return false;
    }
    return true;
}

bool DeckWriter::PlayCurrentRow(const std::string& path) {
    std::string problem;
    if (!CheckFileToWrite(path, problem)) {
        if (hooks_.show_failure) hooks_.show_failure("cannot send " + problem);
        return false;
    }
    capture_.ClearAddedFilters();
    return capture_.AddFilterByName("File Source (Async.)") && capture_.SetSourceFile(path) &&
           capture_.AddFilterByName("MPEG2 Transport to Source Packets") &&
           capture_.ConnectChain(false);
}

void DeckWriter::FailStart(const std::string& text, const WriteOptions& options) {
    if (hooks_.stop_action) hooks_.stop_action();
    // The deck may have gone into record-pause or record already: never leave it recording over
    // the tape with nothing to stop it.
    if (options.rec_start) capture_.TransportStop();
    if (hooks_.show_failure) hooks_.show_failure(text);
}

DeckWriter::StartResult DeckWriter::Start(const WriteOptions& options) {
    if (writing_ || list_.CountListed() == 0) return StartResult::NothingListed;
    list_.SetCurrent(1);
    if (hooks_.list_changed) hooks_.list_changed();
    const std::string path = list_.Row(1);
    if (hooks_.show_file) hooks_.show_file(path);
    if (!PlayCurrentRow(path)) return StartResult::ChainFailed;

    if (options.rec_start) {
        const int lead = RecordPauseLeadMs(options.lead_text);
        if (!capture_.TransportRecordPause()) {
            FailStart("Record Pause Error !", options);
            return StartResult::Failed;
        }
        PauseMs(lead);
        if (!capture_.TransportRecord()) {
            FailStart("Record Start Error !", options);
            return StartResult::Failed;
        }
        PauseMs(kAfterRecordMs);
        file_start_ = Position();
    }
    if (!capture_.RunGraph()) {
        FailStart("Transport Start Error !", options);
        return StartResult::Failed;
    }
    SetWriting(true);
    return StartResult::Started;
}

DeckWriter::TickResult DeckWriter::OnWriteTick(const WriteOptions& options) {
    if (!writing_) return TickResult::Idle;
    const int32_t event = capture_.PollCompletion();
    if (event == 0) return TickResult::Playing;
    const std::string played = list_.Row(list_.Current());
    auto played_out = [&] {
        if (hooks_.played_out) hooks_.played_out(played);
    };
    if (event != EC_COMPLETE) {
        // The stream broke off (the deck went away, the file could not be read): nothing more
        // will play, so the writing ends here instead of waiting for a completion never to come.
        Finish(options, true);
        played_out();
        if (hooks_.stream_failed) hooks_.stream_failed(played, event);
        return TickResult::StreamFailed;
    }
    // Read before anything here stops the tape.
    std::optional<DeckStoppedRecording> stopped = StoppedRecording(options, played);
    if (stopped) {
        // What was sent after the deck stopped is not on tape, and nothing more will be.
        Finish(options, true);
        played_out();
        if (hooks_.deck_stopped) hooks_.deck_stopped(*stopped);
        return TickResult::DeckStopped;
    }
    const int r = list_.Current();
    const int last = list_.RowCount() - 1;
    if (r < last || options.repeat) {
        list_.SetCurrent(r < last ? r + 1 : 1);
        if (hooks_.list_changed) hooks_.list_changed();
        const std::string path = list_.Row(list_.Current());
        if (hooks_.show_file) hooks_.show_file(path);
        capture_.StopGraph();
        played_out();
        // The deck goes on recording across the change of file. A file that cannot be played
        // would leave it recording blank tape with the graph stopped: end the writing instead.
        file_start_ = position_;
        if (PlayCurrentRow(path) && capture_.RunGraph()) return TickResult::NextFile;
        Finish(options, false);
        return TickResult::NextFileFailed;
    }
    if (hooks_.update_control_states) hooks_.update_control_states();
    Finish(options, true);
    played_out();
    return TickResult::Finished;
}

std::optional<DeckStoppedRecording> DeckWriter::StoppedRecording(const WriteOptions& options,
                                                                 const std::string& path) {
    position_.reset();
    DeckStatus status;
    if (!options.rec_start || !hooks_.read_status || !hooks_.read_status(status)) {
        return std::nullopt;
    }
    position_ = status.position_seconds;
    // A deck that cannot tell its transport is given the benefit of the doubt.
    if (status.transport == DeckTransport::Record || status.transport == DeckTransport::Unknown) {
        return std::nullopt;
    }
    DeckStoppedRecording stop;
    stop.path = path;
    stop.row = list_.Current();
    stop.transport = status.transport;
    stop.file_start = file_start_;
    stop.position = status.position_seconds;
    return stop;
}

std::optional<double> DeckWriter::Position() {
    DeckStatus status;
    if (!hooks_.read_status || !hooks_.read_status(status)) return std::nullopt;
    return status.position_seconds;
}

void DeckWriter::Finish(const WriteOptions& options, bool stop_graph) {
    if (stop_graph) capture_.StopGraph();
    if (options.rec_start) capture_.TransportStop();
    capture_.ClearAddedFilters();
    SetWriting(false);
}

void DeckWriter::Stop(const WriteOptions& options) {
    writing_ = false;
    if (hooks_.update_control_states) hooks_.update_control_states();
    capture_.StopGraph();
    if (options.rec_start) capture_.TransportStop();
    capture_.ClearAddedFilters();
}

}  // namespace tessaline
