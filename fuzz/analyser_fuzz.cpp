// SPDX-License-Identifier: GPL-3.0-or-later
// Arbitrary bytes through the stream analyser (as a deck's buffers, cut by the first byte's
// seed), the recording splitter, the verdict, the report's JSON and HTML, and the still
// pictures' elementary stream finder. One analyser serves every run, reset as a recording
// resets it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "recording/report.h"
#include "recording/report_html.h"
#include "recording/report_stills.h"
#include "stream/recording_splitter.h"
#include "stream/ts_analyser.h"

using namespace tessaline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t seed = data[0];
    const uint8_t options = data[1];
    data += 2;
    size -= 2;

    static TsAnalyser& analyser = *new TsAnalyser;
    const int sizes[] = {0, 188, 192, 0};
    analyser.Reset(sizes[options & 3]);
    if (options & 4) analyser.capture_events().DbcGap(options, 8);
    if (options & 8) analyser.capture_events().TapePosition(options * 0.5);

    uint32_t state = seed * 2654435761u + 1;
    for (size_t pos = 0; pos < size;) {
        state = state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(1 + (state >> 16) % 3000, size - pos);
        if (options & 16) analyser.RequestSnapshot();
        analyser.Feed(data + pos, n, pos);
        pos += n;
    }
    analyser.Finish();

    RecordingSplitter splitter;
    for (size_t pos = 0; pos + 188 <= size; pos += 188) splitter.Packet(data + pos);

    const RecordingReport recording = MakeRecordingReport("fuzz.ts", analyser.finished());
    Report report;
    report.recordings.push_back(recording);
    volatile size_t sink = ReportJson(report).size() + ReportHtml(report, "fuzz").size();
    std::string es;
    StillSource source;
    source.packet_size = sizes[options & 3];
    source.video_pid = analyser.finished().video_pid;
    ExtractVideo(data, size, source, es);
    sink = sink + es.size();
    static_cast<void>(sink);
    return 0;
}
