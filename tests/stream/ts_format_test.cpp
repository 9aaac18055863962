#include "stream/ts_format.h"

#include <gtest/gtest.h>

#include "stream/ps_headers.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

using test::Bytes;

TEST(TsFormat, ByteOrderAndPid) {
    EXPECT_EQ(SwapBytes16(0x1234), 0x3412);
    EXPECT_EQ(SwapBytes32(0x12345678u), 0x78563412u);
    const uint8_t pid_bytes[] = {0x5F, 0xFF};
    EXPECT_EQ(ReadPid(pid_bytes), 0x1FFF);  // the top three bits are flags, not PID
    const uint8_t pid_100[] = {0x41, 0x00};
    EXPECT_EQ(ReadPid(pid_100), 0x100);
}

TEST(TsFormat, TimestampDecodeAndRoundTrip) {
    const uint8_t zero[] = {0x21, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(DecodeTimestamp(zero), 0u);
    const uint8_t max[] = {0x2F, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(DecodeTimestamp(max), 0x1FFFFFFFFull);
    for (uint64_t pts : {0ull, 1ull, 90000ull, 0x100000000ull, 0x1FFFFFFFFull, 0x12345678Full}) {
        uint8_t b[5];
        EncodeTimestamp(b, pts);
        EXPECT_EQ(DecodeTimestamp(b), pts);
        EXPECT_EQ(b[0] & 0xF1, 0x21);  // prefix 0010 and the marker
    }
}

TEST(TsFormat, StreamClassesFollowThePrivateStreamOption) {
    EXPECT_EQ(ClassifyStreamId(0xC0, false), StreamClass::Audio);
    EXPECT_EQ(ClassifyStreamId(0xDF, false), StreamClass::Audio);
    EXPECT_EQ(ClassifyStreamId(0xE0, false), StreamClass::Video);
    EXPECT_EQ(ClassifyStreamId(0xEF, false), StreamClass::Video);
    EXPECT_EQ(ClassifyStreamId(0xBD, false), StreamClass::Skipped);
    EXPECT_EQ(ClassifyStreamId(0xBD, true), StreamClass::Audio);
    for (uint8_t id : {0xBC, 0xBE, 0xBF, 0xF0, 0xF1, 0xF2, 0xF3, 0xFF})
        EXPECT_EQ(ClassifyStreamId(id, true), StreamClass::Skipped) << int(id);
    for (uint8_t id : {0x00, 0xB3, 0xBA, 0xBB, 0xF4, 0xFE})
        EXPECT_EQ(ClassifyStreamId(id, true), StreamClass::Invalid) << int(id);
}

TEST(TsFormat, PayloadLocation) {
    test::TsPacketSpec spec;
    spec.pid = 0x123;
    spec.unit_start = true;
    TsPayload p = LocatePayload(test::MakeTsPacket(spec, {}).data());
    EXPECT_TRUE(p.valid);
    EXPECT_TRUE(p.unit_start);
    EXPECT_EQ(p.pid, 0x123);
    EXPECT_EQ(p.offset, 4);
    EXPECT_EQ(p.length, 184);

    spec.adaptation_length = 7;
    p = LocatePayload(test::MakeTsPacket(spec, {}).data());
    EXPECT_EQ(p.offset, 12);
    EXPECT_EQ(p.length, 176);

    spec.adaptation_length = 183;  // one payload byte is left
    p = LocatePayload(test::MakeTsPacket(spec, {}).data());
    EXPECT_TRUE(p.valid);
    EXPECT_EQ(p.length, 0);

    // A damaged adaptation field that claims more than the packet: no payload at all, rather than
    // a negative length.
    for (int af : {184, 200, 255}) {
        spec.adaptation_length = af;
        EXPECT_FALSE(LocatePayload(test::MakeTsPacket(spec, {}).data()).valid) << af;
        EXPECT_EQ(StreamIdOffset(test::MakeTsPacket(spec, {}).data()), -1);
    }

    spec.adaptation_length = 183;
    spec.has_payload = false;  // adaptation_field_control 2
    EXPECT_FALSE(LocatePayload(test::MakeTsPacket(spec, {}).data()).valid);
}

TEST(PackHeader, ZeroScrAndMuxRate) {
    uint8_t out[kPackHeaderBufferSize] = {};
    ASSERT_EQ(BuildPackHeader(out, 0, 0, 1, 0, 0, 1, 1, 1, 0, 0, 64, 0, 1, 460), 14);
    const Bytes expected = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                            0x00, 0x04, 0x01, 0x00, 0x00, 0x03, 0xF8};
    EXPECT_EQ(Bytes(out, out + 14), expected);
}

TEST(PackHeader, SystemHeaderWithBothStreams) {
    uint8_t out[kPackHeaderBufferSize] = {};
    // 24 Mbit/s video + 192 kbit/s audio = 60480 x 50 bytes/s.
    ASSERT_EQ(BuildPackHeader(out, 0xFFFFF5D8u, 60480, 1, 0, 0, 1, 1, 1, 0xC0, 0, 64, 0xE0, 1, 460),
              32);
    EXPECT_EQ(Bytes(out + 10, out + 13), (Bytes{0x03, 0xB1, 0x03}));
    const Bytes system = {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x81, 0xD8, 0x81,
                          0x04, 0xE1, 0x7F, 0xE0, 0xE1, 0xCC, 0xC0, 0xC0, 0x40};
    EXPECT_EQ(Bytes(out + 14, out + 32), system);

    // The SCR bits come back out of the marker-laden layout.
    const uint64_t s = (uint64_t((out[4] >> 3) & 0x07) << 30) | (uint64_t(out[4] & 0x03) << 28) |
                       (uint64_t(out[5]) << 20) | (uint64_t(out[6] >> 3) << 15) |
                       (uint64_t(out[6] & 0x03) << 13) | (uint64_t(out[7]) << 5) | (out[8] >> 3);
    EXPECT_EQ(s, 0xFFFFF5D8u);
    EXPECT_EQ(out[6] & 0x04, 0x04);
    EXPECT_EQ(out[8] & 0x04, 0x04);
}

TEST(PackHeader, OneStreamIdGivesNoSystemHeader) {
    uint8_t out[kPackHeaderBufferSize] = {};
    EXPECT_EQ(BuildPackHeader(out, 1, 480, 1, 0, 0, 1, 1, 1, 0xC0, 0, 64, 0, 1, 460), 14);
    EXPECT_EQ(Bytes(out + 10, out + 13), (Bytes{0x00, 0x07, 0x83}));
    EXPECT_EQ(BuildPackHeader(out, 1, 480, 1, 0, 0, 1, 1, 1, 0, 0, 64, 0xE0, 1, 460), 14);
}

}  // namespace
}  // namespace tessaline
