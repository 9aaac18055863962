#include "recording/data_info.h"

#include <cmath>
#include <cstdio>

#include "recording/span_text.h"

namespace tessaline {

std::string AspectText(uint32_t aspect_x100) {
    switch (aspect_x100) {
        case 100:
            return "1:1";
        case 133:
            return "4:3";
        case 177:
            return "16:9";
        case 221:
            return "2.21:1";
        default:
            return "Reserved";
    }
}

double DelayMs(uint64_t first_audio_pts, uint64_t first_video_pts) {
    const auto difference =
        static_cast<int64_t>(first_audio_pts) - static_cast<int64_t>(first_video_pts);
    return std::round(static_cast<double>(difference) / 90.0 * 10000.0) / 10000.0;
}

std::string DelayText(double delay_ms) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f ms", delay_ms);
    return text;
}

std::string DelaySuffixText(double delay_ms) {
    char text[64];
    std::snprintf(text, sizeof text, " Delay %.2fms", delay_ms);
    return text;
}

void RefreshVideo(const TStreamStatistics& stats, DataInfoUpdate& out) {
    if (stats.VideoValid != -1) {
        for (auto* panel : {&out.pnlVSize, &out.pnlVAspect, &out.pnlVFrameRate, &out.pnlVBitRate,
                            &out.pnlVPTS, &out.pnlEVPTS, &out.pnlDeltaVPTS}) {
            *panel = std::string();
        }
        return;
    }
    out.pnlVSize = std::to_string(stats.VideoWidth) + " x " + std::to_string(stats.VideoHeight);
    out.pnlVAspect = AspectText(stats.VideoAspect);
    out.pnlVFrameRate = NumberText(stats.VideoFrameRate) + " fps";
    out.pnlVBitRate = NumberText(stats.VideoBitRate / 1000000.0) + " Mbps";
    const uint64_t first = stats.FirstVideoPts;
    if (first != 0) {
        const uint64_t last = stats.LastVideoPts;
        out.pnlVPTS = PtsTimeText(first);
        out.pnlEVPTS = PtsTimeText(last);
        out.pnlDeltaVPTS = PtsSpanText(first, last);
    }
}

void RefreshAudio(const TStreamStatistics& stats, bool add_delay, DataInfoUpdate& out) {
    if (stats.AudioValid != -1) {
        for (auto* panel : {&out.pnlALayer, &out.pnlABitRate, &out.pnlAFrequency, &out.pnlAPTS,
                            &out.pnlEAPTS, &out.pnlDeltaAPTS, &out.pnlDelay, &out.DelaySuffix}) {
            *panel = std::string();
        }
        return;
    }
    out.pnlALayer = std::to_string(stats.AudioLayer);
    out.pnlABitRate = NumberText(stats.AudioBitRate / 1000.0) + " kbps";
    out.pnlAFrequency = NumberText(stats.AudioFrequency) + " Hz";
    const uint64_t first = stats.FirstAudioPts;
    if (first != 0) {
        const uint64_t last = stats.LastAudioPts;
        out.pnlAPTS = PtsTimeText(first);
        out.pnlEAPTS = PtsTimeText(last);
        out.pnlDeltaAPTS = PtsSpanText(first, last);
        const double delay = DelayMs(first, stats.FirstVideoPts);
        out.pnlDelay = DelayText(delay);
        out.DelaySuffix = add_delay ? DelaySuffixText(delay) : std::string();
    }
}

DataInfoUpdate RefreshDataInfo(const TStreamStatistics& stats, bool add_delay) {
    DataInfoUpdate out;
    RefreshVideo(stats, out);
    RefreshAudio(stats, add_delay, out);
    return out;
}

DataInfoUpdate ClosingFigures(TStreamStatistics& stats) {
    DataInfoUpdate out;
    if (const uint64_t first = stats.FirstVideoPts; first != 0) {
        out.pnlEVPTS = PtsTimeText(stats.LastVideoPts);
        out.pnlDeltaVPTS = PtsSpanText(first, stats.LastVideoPts);
        stats.FirstVideoPts = 0;
        stats.LastVideoPts = 0;
    }
    if (const uint64_t first = stats.FirstAudioPts; first != 0) {
        out.pnlEAPTS = PtsTimeText(stats.LastAudioPts);
        out.pnlDeltaAPTS = PtsSpanText(first, stats.LastAudioPts);
        stats.FirstAudioPts = 0;
        stats.LastAudioPts = 0;
    }
    return out;
}

}  // namespace tessaline
