#include "stream/es_headers.h"

#include <gtest/gtest.h>

#include "stream/stream_statistics.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::Bytes;

int ParseVideo(const Bytes& b, TVideoHeaderInfo& info, TStreamStatistics* stats = nullptr) {
    return ParseVideoSequenceHeader(b.data(), static_cast<int>(b.size()), info, stats);
}

TEST(SequenceHeader, FieldsAndStatistics) {
    Bytes b = {0x12, 0x00, 0x00};  // junk in front
    test::Append(b, test::MakeSequenceHeader(1440, 1080, 3, 4, 60000));
    TVideoHeaderInfo info;
    TStreamStatistics stats;
    ASSERT_EQ(ParseVideo(b, info, &stats), 3);
    EXPECT_EQ(info.width, 1440u);
    EXPECT_EQ(info.height, 1080u);
    EXPECT_EQ(info.aspect, 177u);
    EXPECT_DOUBLE_EQ(info.frame_rate, 30000.0 / 1001.0);
    EXPECT_EQ(info.video_format, 1);
    EXPECT_EQ(info.bit_rate, 24000000u);
    EXPECT_EQ(info.header_offset, 3);
    EXPECT_EQ(stats.VideoWidth, 1440u);
    EXPECT_EQ(stats.VideoBitRate, 24000000u);
    EXPECT_EQ(stats.VideoValid, -1);
}

TEST(SequenceHeader, FrameRateCodes) {
    struct Case {
        int code;
        double rate;
        int format;
    };
    for (const Case& c : {Case{1, 24000.0 / 1001.0, -1}, Case{2, 24.0, -1}, Case{3, 25.0, 0},
                          Case{5, 30.0, 1}, Case{6, 50.0, 0}, Case{7, 60.0, 1}}) {
        TVideoHeaderInfo info;
        ASSERT_EQ(ParseVideo(test::MakeSequenceHeader(720, 576, 2, c.code, 100), info), 0);
        EXPECT_DOUBLE_EQ(info.frame_rate, c.rate) << c.code;
        EXPECT_EQ(info.video_format, c.format) << c.code;
    }
    // Code 0 on a fresh record: falls back to 29.97; on a used one the rate stays.
    TVideoHeaderInfo info;
    ASSERT_EQ(ParseVideo(test::MakeSequenceHeader(720, 576, 2, 0, 100), info), 0);
    EXPECT_DOUBLE_EQ(info.frame_rate, 30000.0 / 1001.0);
    EXPECT_EQ(info.video_format, -1);
    info.frame_rate = 25.0;
    ASSERT_EQ(ParseVideo(test::MakeSequenceHeader(720, 576, 2, 9, 100), info), 0);
    EXPECT_DOUBLE_EQ(info.frame_rate, 25.0);
}

TEST(SequenceHeader, RejectsForbiddenAspectAndShortData) {
    TVideoHeaderInfo info;
    info.aspect = 133;
    TStreamStatistics stats;
    EXPECT_EQ(ParseVideo(test::MakeSequenceHeader(720, 480, 0, 4, 100), info, &stats), -1);
    EXPECT_EQ(info.aspect, 0u);
    EXPECT_EQ(stats.VideoValid, 0);

    Bytes b = test::MakeSequenceHeader(720, 480, 2, 4, 100);
    b.resize(4 + 12);
    EXPECT_EQ(ParseVideo(b, info), -1);  // needs one byte more than the fields
    b.push_back(0);
    EXPECT_EQ(ParseVideo(b, info), 0);
    b.resize(3);
    EXPECT_EQ(ParseVideo(b, info), -1);
    EXPECT_EQ(ParseVideoSequenceHeader(nullptr, 0, info), -1);
}

TEST(MpegAudioHeader, LayerTwo) {
    const Bytes b = {0x00, 0xFF, 0xFD, 0x94, 0x44};
    TAudioHeaderInfo info;
    TStreamStatistics stats;
    ASSERT_EQ(ParseMpegAudioHeader(b.data(), 5, info, &stats), 1);
    EXPECT_EQ(info.layer, 2u);
    EXPECT_EQ(info.bit_rate, 160000u);
    EXPECT_EQ(info.frequency, 48000u);
    EXPECT_EQ(info.sync_offset, 1);
    EXPECT_EQ(stats.AudioBitRate, 160000u);
    EXPECT_EQ(stats.AudioValid, -1);
}

TEST(MpegAudioHeader, TablesAndBounds) {
    TAudioHeaderInfo info;
    const Bytes layer1 = {0xFF, 0xFF, 0xE8, 0x00};  // Layer I, index 14, 32 kHz
    ASSERT_EQ(ParseMpegAudioHeader(layer1.data(), 4, info), 0);
    EXPECT_EQ(info.layer, 3u);
    EXPECT_EQ(info.bit_rate, 448000u);
    EXPECT_EQ(info.frequency, 32000u);
    const Bytes layer3 = {0xFF, 0xFB, 0x90, 0x00};  // Layer III, index 9, 44.1 kHz
    ASSERT_EQ(ParseMpegAudioHeader(layer3.data(), 4, info), 0);
    EXPECT_EQ(info.layer, 1u);
    EXPECT_EQ(info.bit_rate, 128000u);
    EXPECT_EQ(info.frequency, 44100u);
    const Bytes free_format = {0xFF, 0xFD, 0x0C, 0x00};
    ASSERT_EQ(ParseMpegAudioHeader(free_format.data(), 4, info), 0);
    EXPECT_EQ(info.bit_rate, 0u);
    EXPECT_EQ(info.frequency, 0u);  // sampling code 3 is reserved

    const Bytes short_header = {0x00, 0xFF, 0xFD};
    EXPECT_EQ(ParseMpegAudioHeader(short_header.data(), 3, info), -1);
    const Bytes not_sync = {0xFF, 0xF7, 0x94, 0x00};
    EXPECT_EQ(ParseMpegAudioHeader(not_sync.data(), 4, info), -1);
}

TEST(MpegAudioHeader, AdtsAacGetsARate) {
    // FF F9: MPEG-2 ADTS without CRC; sampling index 3 (48 kHz); frame_length 384 bytes.
    const uint32_t frame_length = 384;
    const Bytes b = {0xFF,
                     0xF9,
                     static_cast<uint8_t>((1 << 6) | (3 << 2)),
                     static_cast<uint8_t>(0x80 | (frame_length >> 11)),
                     static_cast<uint8_t>(frame_length >> 3),
                     static_cast<uint8_t>(((frame_length & 7) << 5) | 0x1F),
                     0xFC};
    TAudioHeaderInfo info;
    ASSERT_EQ(ParseMpegAudioHeader(b.data(), static_cast<int>(b.size()), info), 0);
    EXPECT_EQ(info.layer, 0u);
    EXPECT_EQ(info.frequency, 48000u);
    EXPECT_EQ(info.bit_rate, 384u * 8 * 48000 / 1024);  // 144000

    // Fewer than six header bytes, or a frame shorter than its own header: no rate.
    EXPECT_EQ(ParseMpegAudioHeader(b.data(), 5, info), 0);
    EXPECT_EQ(info.bit_rate, 0u);
    Bytes tiny = b;
    tiny[3] = 0x80;
    tiny[4] = 0x00;
    tiny[5] = 0x1F;
    ASSERT_EQ(ParseMpegAudioHeader(tiny.data(), 6, info), 0);
    EXPECT_EQ(info.bit_rate, 0u);
    // A sampling index beyond the table gives 0 Hz and no rate.
    Bytes odd = b;
    odd[2] = static_cast<uint8_t>((1 << 6) | (14 << 2));
    ASSERT_EQ(ParseMpegAudioHeader(odd.data(), 6, info), 0);
    EXPECT_EQ(info.frequency, 0u);
    EXPECT_EQ(info.bit_rate, 0u);
}

TEST(Ac3Header, FrameSizes) {
    TAudioHeaderInfo info;
    // fscod 0 (48 kHz), frmsizecod 20 (192 kbit/s): 384 words.
    const Bytes b48 = {0x00, 0x0B, 0x77, 0x12, 0x34, 0x14, 0x40};
    ASSERT_EQ(ParseAc3Header(b48.data(), 7, info), 1);
    EXPECT_EQ(info.layer, 0u);
    EXPECT_EQ(info.bit_rate, 192000u);
    EXPECT_EQ(info.frame_size, 768u);
    // fscod 1 (44.1 kHz) with an odd frmsizecod takes one word more.
    const Bytes b44 = {0x0B, 0x77, 0, 0, 0x40 | 0x15, 0};
    ASSERT_EQ(ParseAc3Header(b44.data(), 6, info), 0);
    EXPECT_EQ(info.frame_size, (417u + 1) * 2);
    // Beyond the table: no size and no rate.
    const Bytes beyond = {0x0B, 0x77, 0, 0, 0x26, 0};
    ASSERT_EQ(ParseAc3Header(beyond.data(), 6, info), 0);
    EXPECT_EQ(info.frame_size, 0u);
    EXPECT_EQ(info.bit_rate, 0u);
    // The byte holding fscod must be inside the data, with one to spare.
    EXPECT_EQ(ParseAc3Header(b48.data() + 1, 5, info), -1);
}

}  // namespace
}  // namespace tessaline
