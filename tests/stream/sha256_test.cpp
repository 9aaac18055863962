// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tessaline {
namespace {

std::string HashOf(const std::string& text) {
    return Sha256Hex(text.data(), text.size());
}

// Both ways of computing it: the processor's SHA instructions where it has them, and the
// portable code.
class Sha256Paths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { before_ = Sha256::SetPortableOnlyForTesting(GetParam()); }
    void TearDown() override { Sha256::SetPortableOnlyForTesting(before_); }
    bool before_ = false;
};
INSTANTIATE_TEST_SUITE_P(Sha256, Sha256Paths, ::testing::Values(false, true));

TEST_P(Sha256Paths, KnownAnswers) {
    EXPECT_EQ(HashOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(HashOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(HashOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    Sha256 million;
    const std::string a(1000, 'a');
    for (int i = 0; i < 1000; ++i) million.Update(a.data(), a.size());
    EXPECT_EQ(million.Hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(million.bytes(), 1000000u);
}

// Padding lands differently for every length around a block; pieces of any size give the same.
TEST_P(Sha256Paths, PiecesAndLengthsAroundBlocks) {
    std::mt19937 rng(7);
    for (size_t length = 0; length < 200; ++length) {
        std::string text(length, '\0');
        for (char& c : text) c = static_cast<char>(rng());
        const std::string whole = HashOf(text);
        Sha256 pieces;
        for (size_t at = 0; at < length;) {
            const size_t n = std::min<size_t>(1 + rng() % 70, length - at);
            pieces.Update(text.data() + at, n);
            at += n;
        }
        ASSERT_EQ(pieces.Hex(), whole) << length;
        // Final leaves the state as it was: more can be fed.
        pieces.Update("x", 1);
        ASSERT_EQ(pieces.Hex(), HashOf(text + "x")) << length;
    }
}

}  // namespace
}  // namespace tessaline
