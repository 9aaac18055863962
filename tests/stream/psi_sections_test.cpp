// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/psi_sections.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/synthetic_stream.h"

namespace tessaline {
namespace {

using test::Bytes;

Bytes WithCrc(Bytes section) {
    const uint32_t crc = test::TestCrc32(section.data(), section.size());
    for (int shift = 24; shift >= 0; shift -= 8) section.push_back(uint8_t(crc >> shift));
    return section;
}

Bytes PatSection(uint16_t tsid, std::vector<std::pair<uint16_t, uint16_t>> programs) {
    Bytes s = {0x00, 0xB0, 0x00, uint8_t(tsid >> 8), uint8_t(tsid), 0xC1, 0x00, 0x00};
    for (auto [number, pid] : programs) {
        test::Append(
            s, {uint8_t(number >> 8), uint8_t(number), uint8_t(0xE0 | (pid >> 8)), uint8_t(pid)});
    }
    s[2] = uint8_t(s.size() - 3 + 4);
    return WithCrc(s);
}

struct Collected {
    std::vector<Bytes> sections;
    void operator()(const uint8_t* s, size_t n) { sections.emplace_back(s, s + n); }
};

TEST(PsiSections, CrcIsMpeg2s) {
    const char* check = "123456789";
    EXPECT_EQ(Crc32Mpeg(reinterpret_cast<const uint8_t*>(check), 9), 0x0376E6E7u);
    const Bytes pat = PatSection(1, {{1, 0x1000}});
    EXPECT_TRUE(SectionHasCrc(pat.data(), pat.size()));
    EXPECT_TRUE(SectionCrcOk(pat.data(), pat.size()));
    Bytes broken = pat;
    broken[9] ^= 0x01;
    EXPECT_FALSE(SectionCrcOk(broken.data(), broken.size()));
}

TEST(PsiSections, AssemblerJoinsSplitsAndDropsWhatItCannotTrust) {
    const Bytes a = PatSection(1, {{1, 0x1000}});
    Bytes big = {0x02, 0xB0, 0x00};  // a section longer than one packet
    big.resize(300, 0x55);
    big[2] = uint8_t(big.size() - 3);
    big[1] = uint8_t(0xB0 | ((big.size() - 3) >> 8));
    SectionAssembler assembler;
    Collected got;

    // Two sections in one payload, then stuffing.
    Bytes payload = {0x00};
    test::Append(payload, a);
    test::Append(payload, a);
    payload.resize(184, 0xFF);
    assembler.Push(payload.data(), int(payload.size()), true, got);
    ASSERT_EQ(got.sections.size(), 2u);
    EXPECT_EQ(got.sections[0], a);

    // A section across packets, the next one starting behind a pointer field.
    got.sections.clear();
    Bytes first = {0x00};
    test::Append(first, Bytes(big.begin(), big.begin() + 183));
    assembler.Push(first.data(), 184, true, got);
    EXPECT_TRUE(got.sections.empty());
    Bytes second = {uint8_t(big.size() - 183)};
    test::Append(second, Bytes(big.begin() + 183, big.end()));
    test::Append(second, a);
    second.resize(184, 0xFF);
    assembler.Push(second.data(), 184, true, got);
    ASSERT_EQ(got.sections.size(), 2u);
    EXPECT_EQ(got.sections[0], big);
    EXPECT_EQ(got.sections[1], a);

    // A break (lost packet) drops the half-joined section; its tail is not taken for a start.
    got.sections.clear();
    assembler.Push(first.data(), 184, true, got);
    assembler.Break();
    Bytes tail(Bytes(big.begin() + 183, big.end()));
    tail.resize(184, 0xFF);
    assembler.Push(tail.data(), 184, false, got);
    EXPECT_TRUE(got.sections.empty());

    // A pointer past the payload, and a length beyond any section, are refused.
    Bytes bad = {200};
    bad.resize(184, 0x00);
    assembler.Push(bad.data(), 184, true, got);
    Bytes huge = {0x00, 0x00, 0xBF, 0xFF};
    huge.resize(184, 0x00);
    assembler.Push(huge.data(), 184, true, got);
    EXPECT_TRUE(got.sections.empty());
}

TEST(PsiSections, PatAndPmtParsed) {
    const Bytes pat = PatSection(0x7E1, {{0, 0x10}, {1, 0x1000}, {2, 0x1100}});
    PatTable t;
    ASSERT_TRUE(ParsePat(pat.data(), pat.size(), t));
    EXPECT_EQ(t.transport_stream_id, 0x7E1);
    ASSERT_EQ(t.count, 2);  // the network PID is no program
    EXPECT_EQ(t.pmt_pid[1], 0x1100);

    // Program info: an ARIB copy control descriptor saying copy once; one stream with a DTCP
    // descriptor saying copy never (the stricter wins).
    Bytes pmt = {0x02, 0xB0, 0x00, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE1, 0x00, 0xF0,
                 0x03, 0xC1, 0x01, 0x80, 0x02, 0xE1, 0x00, 0xF0, 0x00, 0x04, 0xE1,
                 0x01, 0xF0, 0x06, 0x88, 0x04, 0x0F, 0xFF, 0x03, 0x00};
    pmt[2] = uint8_t(pmt.size() - 3 + 4);
    pmt = WithCrc(pmt);
    PmtTable m;
    ASSERT_TRUE(ParsePmt(pmt.data(), pmt.size(), m));
    EXPECT_EQ(m.pcr_pid, 0x100);
    ASSERT_EQ(m.count, 2);
    EXPECT_EQ(m.stream_type[1], 0x04);
    EXPECT_EQ(m.pid[1], 0x101);
    EXPECT_EQ(m.copy_control, CopyControl::CopyNever);
    EXPECT_EQ(KindOfStreamType(m.stream_type[0]), StreamKind::Video);

    // An ES_info_length past the end: the table does not hold together.
    Bytes cut = pmt;
    cut[24] = 0x30;
    EXPECT_FALSE(ParsePmt(cut.data(), cut.size(), m));
    EXPECT_FALSE(ParsePat(pmt.data(), pmt.size(), t));  // not a PAT
}

}  // namespace
}  // namespace tessaline
