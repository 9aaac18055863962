// Writing a list of TS files to the deck, without a window: the start (with the optional
// record-pause lead), the end-of-file step the monitor runs while writing, and the stop. The
// writing tab and `tessaline-cli write` both go through this, so they follow the same rules.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "capture/deck_driver.h"

namespace tessaline {

class CDSCapture;
class WriteList;

struct WriteOptions {
    bool rec_start = false;  // "Rec. Start": record-pause, wait, record before playing
    bool repeat = false;     // after the last row, start again at row 1
    std::string lead_text;   // the record-pause lead in milliseconds, as typed
};

// Where a write found the deck no longer recording.
struct DeckStoppedRecording {
    std::string path;                                  // the file that was being sent
    int row = 0;                                       // its row in the list
    DeckTransport transport = DeckTransport::Unknown;  // what the deck was doing instead
    // The tape position when the file began and when the deck was found stopped, when the deck
    // keeps a counter: how much of the file can be on tape.
    std::optional<double> file_start;
    std::optional<double> position;
};
// "FILE (row N): the deck was found in stop at 00:01:10, at most 12 s into the file", for people.
std::string DeckStoppedText(const DeckStoppedRecording& stop);

struct DeckWriterHooks {
    // The recording tab's Stop action, run before a start failure is shown.
    std::function<void()> stop_action;
    // One of the three start failures: "Record Pause Error !", "Record Start Error !",
    // "Transport Start Error !".
    std::function<void(const std::string& text)> show_failure;
    // The writing state changed (writing() tells which): the control states follow.
    std::function<void()> update_control_states;
    // The file box shows text (the file being played, or the current row after a delete).
    std::function<void(const std::string& text)> show_file;
    // The list or its current row changed: repaint.
    std::function<void()> list_changed;
    // The deck's stream ended with an error code (not completion) while path played: the
    // writing has ended as a failure.
    std::function<void(const std::string& path, int32_t event)> stream_failed;
    // The file at path has played out, or its stream broke off: its graph has stopped and the
    // next file has not started, so what the deck's driver says of that stream (the gaps it
    // measured) is about this file.
    std::function<void(const std::string& path)> played_out;
    // The deck's state now; false when it cannot tell. With Rec. Start it is read once the
    // record has begun and whenever a file has played out: a deck that stopped recording on its
    // own (the tape's end, a button on the deck) has not taken the rest of what was sent.
    std::function<bool(DeckStatus& status)> read_status;
    // The deck was found no longer recording once `stop.path` had played out: the writing has
    // ended as a failure.
    std::function<void(const DeckStoppedRecording& stop)> deck_stopped;
};

// Whether path can go to a deck: a readable file of whole 188- or 192-byte packets. False with the
// reason, naming the file, in error; every deck gets the same check and words. A file that does
// not exist passes: the file source reports it.
bool CheckFileToWrite(const std::string& path, std::string& error);

// The lead before recording: the integer in text, 1000 when it is none; never below 1000.
int RecordPauseLeadMs(const std::string& text);

class DeckWriter {
  public:
    DeckWriter(CDSCapture& capture, WriteList& list, DeckWriterHooks hooks);

    // The chain for path: file source, source-packet converter, deck. False when the file is not
    // one a deck can take (show_failure says why) or at the first step that fails (the
    // controller has reported it).
    bool PlayCurrentRow(const std::string& path);

    enum class StartResult { NothingListed, ChainFailed, Failed, Started };
    // START: plays row 1, with options.rec_start puts the deck in record first.
    StartResult Start(const WriteOptions& options);

    enum class TickResult {
        Idle,            // not writing
        Playing,         // the current file has not played out yet
        NextFile,        // the next file (or row 1 again) plays
        Finished,        // the last file has played out: writing ended
        NextFileFailed,  // the next file could not be played: writing ended
        StreamFailed,    // the stream ended with an error code: writing ended as a failure
        DeckStopped,     // the deck was no longer recording when a file played out: a failure
    };
    // The monitor's end-of-file step: nothing until the graph reports that the file has played
    // out; then the next row (or row 1 with repeat), or the end of the writing. A next file that
    // cannot be played, or a stream that ends with an error code, also ends the writing (the
    // tape stopped with Rec. Start).
    TickResult OnWriteTick(const WriteOptions& options);

    // STOP (also when the window closes while writing).
    void Stop(const WriteOptions& options);

    bool writing() const { return writing_; }

  private:
    void Finish(const WriteOptions& options, bool stop_graph);
    void FailStart(const std::string& text, const WriteOptions& options);
    void SetWriting(bool writing);
    // With Rec. Start and a deck that tells its state: where the deck was found not recording
    // while path was being sent; nullopt while it records. Keeps the position read in position_.
    std::optional<DeckStoppedRecording> StoppedRecording(const WriteOptions& options,
                                                         const std::string& path);
    // The tape position now, when the deck tells it.
    std::optional<double> Position();

    CDSCapture& capture_;
    WriteList& list_;
    DeckWriterHooks hooks_;
    bool writing_ = false;
    // Where the current file began on tape (with Rec. Start and a deck that keeps a counter).
    std::optional<double> file_start_;
    // The tape position at the last look at the deck.
    std::optional<double> position_;
};

}  // namespace tessaline
