// tessaline-cli on a machine without a usable IEEE 1394 bus: one clear line, then the program
// goes on; devices --verbose describes each listed deck.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace tessaline::test {
namespace {

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool MachineHasFirewire() {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/dev", ec)) {
        if (e.path().filename().string().rfind("fw", 0) == 0) return true;
    }
    return false;
}

TEST(Ieee1394Cli, NoBusIsToldOnceAndTheVirtualDeckStillWorks) {
    if (MachineHasFirewire()) GTEST_SKIP() << "this machine has an IEEE 1394 bus";
    const std::string cli = ShellQuote(TESSALINE_CLI);
    const CommandResult none = RunCommand("TESSALINE_VIRTUAL_DECK=none " + cli + " devices");
    EXPECT_EQ(none.exit_code, 3);
    EXPECT_EQ(Count(none.output, "IEEE 1394: no IEEE 1394 controller found (no /dev/fw*)"), 1u)
        << none.output;
    EXPECT_EQ(Count(none.output, "Cannot find capture device"), 1u) << none.output;

    const CommandResult listed =
        RunCommand("TESSALINE_VIRTUAL_DECK=" + ShellQuote(SamplePath("sample-sd.ts").string()) +
                   " " + cli + " devices --verbose");
    EXPECT_EQ(listed.exit_code, 0) << listed.output;
    EXPECT_EQ(Count(listed.output, "IEEE 1394:"), 1u) << listed.output;
    EXPECT_NE(listed.output.find("0: virtual deck playing"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("power on, transport stop"), std::string::npos) << listed.output;

    const CommandResult off =
        RunCommand("TESSALINE_IEEE1394=off TESSALINE_VIRTUAL_DECK=none " + cli + " devices");
    EXPECT_EQ(Count(off.output, "IEEE 1394:"), 0u) << off.output;
}

}  // namespace
}  // namespace tessaline::test
