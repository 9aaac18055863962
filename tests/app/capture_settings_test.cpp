#include "app/capture_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/test_support.h"

namespace tessaline {
namespace {

const std::string kFolder = "/home/u/Videos/";

TCaptureSettings Read(const std::string& text) {
    return ReadCaptureSettings(IniFile::Parse(text), kFolder);
}

TEST(CaptureSettings, DefaultsWithNoFile) {
    const TCaptureSettings s = Read("");
    EXPECT_EQ(s.DeviceIndex, -1);
    EXPECT_EQ(s.RecordMinutes, 30);
    EXPECT_FALSE(s.UseFileName);
    EXPECT_EQ(s.LastFile, "");
    EXPECT_EQ(s.SaveDir, kFolder);
    EXPECT_EQ(s.OutDir, kFolder);
    EXPECT_TRUE(s.TrimPacket);
    EXPECT_FALSE(s.ConvPES);
    EXPECT_TRUE(s.CheckPts);
    EXPECT_FALSE(s.CheckPrivateStream);
    EXPECT_FALSE(s.PowerOn);
    EXPECT_FALSE(s.PowerOff);
    EXPECT_EQ(s.PowerOnSec, -2);
    EXPECT_TRUE(s.SyncByte);
    EXPECT_EQ(s.PsExt, ".mpg");
    EXPECT_EQ(s.Ts188Ext, ".mpg");
    EXPECT_EQ(s.Ts192Ext, ".mpg");
    EXPECT_EQ(s.NameFormat, "YYMMDDHHNNSS");
    EXPECT_EQ(s.DateFormat, "YYYYMMDD");
    EXPECT_TRUE(s.FixedOutFolder);
    EXPECT_EQ(s.RecStartWait, "10000");
    EXPECT_EQ(s.MaxReserve, 30);
}

TEST(CaptureSettings, StoredFormsAreTranslated) {
    // FULL is Check PTS inverted; PowerOnSec is held negated; the device index is capped at 9.
    TCaptureSettings s = Read("[Capture]\nFULL=1\nPowerOnSec=5\nDevice=15\n");
    EXPECT_FALSE(s.CheckPts);
    EXPECT_EQ(s.PowerOnSec, -5);
    EXPECT_EQ(s.DeviceIndex, 9);
    s = Read("[Capture]\nFULL=0\nDevice=-1\nPowerOnSec=-2147483648\n");
    EXPECT_TRUE(s.CheckPts);
    EXPECT_EQ(s.DeviceIndex, -1);
    EXPECT_EQ(s.PowerOnSec, -2);  // cannot be negated: treated as not a number

    IniFile ini;
    WriteCaptureSettings(ini, Read("[Capture]\nFULL=1\n"));
    EXPECT_EQ(ini.Get("Capture", "FULL"), "1");
}

TEST(CaptureSettings, MaxReserveIsBounded) {
    EXPECT_EQ(Read("[Capture]\nMaxReserve=5\n").MaxReserve, 5);
    EXPECT_EQ(Read("[Capture]\nMaxReserve=-3\n").MaxReserve, 0);
    EXPECT_EQ(Read("[Capture]\nMaxReserve=100000000\n").MaxReserve, kMaxReserveLimit);
}

// The report key is put in by hand: read, passed on to every recording, never written.
TEST(CaptureSettings, ReportKeyIsReadAndNeverWritten) {
    EXPECT_FALSE(Read("[Capture]\n").WriteReport);
    EXPECT_FALSE(RecordingOptionsFrom(Read("[Capture]\n")).Report);
    const TCaptureSettings on = Read("[Capture]\nReport=1\n");
    EXPECT_TRUE(on.WriteReport);
    EXPECT_TRUE(RecordingOptionsFrom(on).Report);
    IniFile ini = IniFile::Parse("[Capture]\nReport=1\n");
    TCaptureSettings s = ReadCaptureSettings(ini, kFolder);
    s.WriteReport = false;
    WriteCaptureSettings(ini, s);
    EXPECT_EQ(ini.Get("Capture", "Report"), "1");
    IniFile fresh = IniFile::Parse("");
    WriteCaptureSettings(fresh, on);
    EXPECT_EQ(fresh.Serialize().find("Report"), std::string::npos);
}

TEST(CaptureSettings, GarbageValuesFallBackOneByOne) {
    const TCaptureSettings s =
        Read("[Capture]\nDevice=abc\nLastTime=\nTrimPacket=x\nSyncByte=0\nPS_EXT=.ps\nWait=2500\n");
    EXPECT_EQ(s.DeviceIndex, -1);
    EXPECT_EQ(s.RecordMinutes, 30);
    EXPECT_TRUE(s.TrimPacket);
    EXPECT_FALSE(s.SyncByte);  // readable neighbours are still taken
    EXPECT_EQ(s.PsExt, ".ps");
    EXPECT_EQ(s.RecStartWait, "2500");
}

TEST(CaptureSettings, LastFileQuoting) {
    EXPECT_EQ(QuoteLastFile(" a!b "), "! a!!b !");
    EXPECT_EQ(QuoteLastFile(""), "!!");
    EXPECT_EQ(UnquoteLastFile("! a!!b !"), " a!b ");
    EXPECT_EQ(UnquoteLastFile("plain.ts"), "");         // hand-written without the marks
    EXPECT_EQ(UnquoteLastFile("!name! rest"), "name");  // text behind the closing mark
    EXPECT_EQ(UnquoteLastFile("!open"), "open");
    EXPECT_EQ(UnquoteLastFile("!!!!"), "!");
    for (const std::string name : {"!", "!!", "a!", "!a", " x ", "日本語 ファイル!.ts", ""}) {
        EXPECT_EQ(UnquoteLastFile(QuoteLastFile(name)), name) << name;
    }
}

TEST(CaptureSettings, LastFileWithBlanksAndMarksSurvivesTheFile) {
    TCaptureSettings s = DefaultCaptureSettings(kFolder);
    s.LastFile = " my!show \xff.ts ";  // not even UTF-8
    IniFile ini;
    WriteCaptureSettings(ini, s);
    EXPECT_EQ(ini.Get("Capture", "LastFile"), "! my!!show \xff.ts !");
    EXPECT_EQ(ReadCaptureSettings(IniFile::Parse(ini.Serialize()), kFolder).LastFile, s.LastFile);
}

TEST(CaptureSettings, WritesEveryKeyInOrderButNeverTheReadOnlyOnes) {
    IniFile ini;
    WriteCaptureSettings(ini, DefaultCaptureSettings(kFolder));
    EXPECT_EQ(ini.Serialize(),
              "[Capture]\nDevice=-1\nFileName=0\nSaveDir=/home/u/Videos/\nTrimPacket=1\nFULL=0\n"
              "LPCM=0\nLastTime=30\nLastFile=!!\nConvPES=0\nPowerOn=0\nPowerOff=0\n"
              "FileExists=0\nAddDelay=0\nAddDate=0\nDateFormat=YYYYMMDD\nSyncByte=1\n"
              "PS_EXT=.mpg\nTS188_EXT=.mpg\nTS192_EXT=.mpg\nNameFormat=YYMMDDHHNNSS\nFolder=1\n"
              "TaskTray=0\nReservePowerOff=0\nReservePowerOn=0\nOutDir=/home/u/Videos/\n"
              "Wait=10000\n");
}

TEST(CaptureSettings, UntouchedKeysSurviveRepeatedSaves) {
    // Saved by an editor that puts a byte-order mark in front, which the saves keep.
    const std::string original =
        std::string(kUtf8Bom) +
        "; kept\n[Capture]\nMaxReserve=12\nPowerOnSec=7\nReserve01=2024/03/09 21:00:00x\n"
        "Reserve02=\nSomethingNew=keep me\n\n[Window]\nLeft=10\n";
    IniFile ini = IniFile::Parse(original);
    for (int i = 0; i < 3; ++i) {
        TCaptureSettings s = ReadCaptureSettings(ini, kFolder);
        s.PowerOnSec = -99;  // never written, whatever memory holds
        s.MaxReserve = 1;
        WriteCaptureSettings(ini, s);
        ini = IniFile::Parse(ini.Serialize());
    }
    EXPECT_EQ(ini.Get("Capture", "MaxReserve"), "12");
    EXPECT_EQ(ini.Get("Capture", "PowerOnSec"), "7");
    EXPECT_EQ(ini.Get("Capture", "Reserve01"), "2024/03/09 21:00:00x");
    EXPECT_EQ(ini.Get("Capture", "Reserve02"), "");
    EXPECT_EQ(ini.Get("Capture", "SomethingNew"), "keep me");
    EXPECT_EQ(ini.Get("Window", "Left"), "10");
    const std::string text = ini.Serialize();
    EXPECT_EQ(
        text.rfind(std::string(kUtf8Bom) + "; kept\n[Capture]\nMaxReserve=12\nPowerOnSec=7\n", 0),
        0u);
    EXPECT_NE(text.find("\n\n[Window]\nLeft=10\n"), std::string::npos);
}

TEST(CaptureSettings, StoredDeviceIsKeptOnlyWhenAsked) {
    TCaptureSettings s = DefaultCaptureSettings("/v/");
    IniFile ini = IniFile::Parse("[Capture]\nDevice=3\n");
    WriteCaptureSettings(ini, s, /*keep_stored_device=*/true);
    EXPECT_EQ(ini.Get("Capture", "Device"), "3");
    WriteCaptureSettings(ini, s);
    EXPECT_EQ(ini.Get("Capture", "Device"), "-1");
    IniFile fresh;  // nothing stored: the index is written as usual
    WriteCaptureSettings(fresh, s, true);
    EXPECT_EQ(fresh.Get("Capture", "Device"), "-1");
}

TEST(CaptureSettings, SettingsPathFollowsOverrideExecutableFolderAndXdg) {
    test::TempDir dir;
    SettingsPathInputs in;
    in.executable = dir / "tessaline";
    in.home = "/home/u";
    EXPECT_EQ(ResolveSettingsPath(in), dir / "tessaline.INI");  // portable: beside the program

    in.ini_override = "/tmp/x.INI";
    EXPECT_EQ(ResolveSettingsPath(in), "/tmp/x.INI");

    in.ini_override = nullptr;
    in.executable = "/nonexistent-folder/tessaline";  // not writable
    EXPECT_EQ(ResolveSettingsPath(in), "/home/u/.config/tessaline/tessaline.INI");
    in.xdg_config_home = "/cfg";
    EXPECT_EQ(ResolveSettingsPath(in), "/cfg/tessaline/tessaline.INI");

    // Installed: even where the folder may be written (root), settings go to the user's config.
    for (const char* exe : {"/usr/bin/tessaline", "/usr/local/bin/tessaline", "/bin/tessaline"}) {
        in.executable = exe;
        EXPECT_EQ(ResolveSettingsPath(in), "/cfg/tessaline/tessaline.INI") << exe;
    }
    in.executable = dir / "usr" / "bin" / "tessaline";  // a folder merely named so is portable
    std::filesystem::create_directories(dir / "usr" / "bin");
    EXPECT_EQ(ResolveSettingsPath(in), dir / "usr" / "bin" / "tessaline.INI");
}

}  // namespace
}  // namespace tessaline
