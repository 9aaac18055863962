// The texts of the data information page, computed from the stream statistics. Each refresh says
// for every value panel whether it gets a new text or keeps the one it shows (nullopt), so a front
// end only copies what is set. Panels are named as on the page.
#pragma once

#include <optional>
#include <string>

#include "stream/stream_statistics.h"

namespace tessaline {

struct DataInfoUpdate {
    // Video column.
    std::optional<std::string> pnlVSize, pnlVAspect, pnlVFrameRate, pnlVBitRate;
    std::optional<std::string> pnlVPTS, pnlEVPTS, pnlDeltaVPTS;
    // Audio column.
    std::optional<std::string> pnlALayer, pnlABitRate, pnlAFrequency, pnlDelay;
    std::optional<std::string> pnlAPTS, pnlEAPTS, pnlDeltaAPTS;
    // The delay text for the file name (" Delay -33.37ms", or empty); nullopt: unchanged.
    std::optional<std::string> DelaySuffix;
};

// "1:1", "4:3", "16:9", "2.21:1", or "Reserved" for any other aspect value.
std::string AspectText(uint32_t aspect_x100);

// The audio-to-video delay in milliseconds, rounded to four decimals; positive when the audio
// starts after the video.
double DelayMs(uint64_t first_audio_pts, uint64_t first_video_pts);
// -33.37 ms; the file-name form " Delay -33.37ms".
std::string DelayText(double delay_ms);
std::string DelaySuffixText(double delay_ms);

// The video and audio panels (the monitor tick's refresh). Without a parsed header the panels of
// that column are emptied (and the delay suffix with the audio ones); time stamps not yet seen
// leave their panels as they are.
void RefreshVideo(const TStreamStatistics& stats, DataInfoUpdate& out);
void RefreshAudio(const TStreamStatistics& stats, bool add_delay, DataInfoUpdate& out);
DataInfoUpdate RefreshDataInfo(const TStreamStatistics& stats, bool add_delay);

// The figures written when a recording stops: the latest time stamps and spans. The four time
// stamps are then reset, so the next recording starts from none.
DataInfoUpdate ClosingFigures(TStreamStatistics& stats);

}  // namespace tessaline
