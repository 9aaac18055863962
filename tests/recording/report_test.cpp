// SPDX-License-Identifier: GPL-3.0-or-later
// The report writers: JSON a consumer can read, an HTML page that needs nothing from outside,
// manifests that sha256sum accepts, BagIt tag files, and the session that keeps a recording's
// report beside it.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "recording/fixity.h"
#include "stream/json_writer.h"
#include "recording/report.h"
#include "recording/report_html.h"
#include "recording/report_session.h"
#include "recording/report_stills.h"
#include "stream/file_remux.h"
#include "stream/sha256.h"
#include "stream/stream_context.h"
#include "stream/ts_analyser.h"
#include "tests/support/json_value.h"
#include "tests/support/synthetic_stream.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using test::Bytes;
using test::Json;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

StreamAnalysis AnalyseBytes(const Bytes& bytes) {
    TsAnalyser a;
    a.Feed(bytes.data(), bytes.size(), 1'760'000'000'000);
    a.Finish();
    return a.finished();
}

// A stream with one dropout of a quarter second, one second in.
StreamAnalysis DamagedAnalysis() {
    test::SyntheticOptions o;
    const auto s = test::MakeSyntheticStream(o);
    return AnalyseBytes(test::DropPackets(s.bytes, 188, 2659, 665));
}

TEST(JsonWriter, WritesWhatAReaderAccepts) {
    JsonWriter w(2);
    w.BeginObject();
    w.Key("text").String("quote \" backslash \\ tab \t bell \x07 日本");
    w.Key("latin1").String("caf\xE9");  // not UTF-8: replaced, never passed through
    w.Key("nan").Number(kNoTime, 3);
    w.Key("minus_zero").Number(-0.0001, 3);
    w.Key("list").BeginArray().Int(-1).UInt(18446744073709551615ull).Bool(true).Null().EndArray();
    w.Key("empty").BeginObject().EndObject();
    w.EndObject();
    const Json j = Json::Parse(w.text());
    EXPECT_EQ(j["text"].string(), "quote \" backslash \\ tab \t bell \x07 日本");
    EXPECT_EQ(j["latin1"].string(), "caf\xEF\xBF\xBD");
    EXPECT_TRUE(j["nan"].is_null());
    EXPECT_EQ(w.text().find("-0.000"), std::string::npos);
    EXPECT_EQ(j["list"].size(), 4u);
    EXPECT_EQ(j["empty"].size(), 0u);
}

TEST(Report, JsonCarriesEveryFieldAVersionPromises) {
    Report report;
    report.tool_version = "9.9";
    report.command = "record";
    report.command_line = QuotedCommandLine({"tessaline-cli", "record", "--out", "a b.ts"});
    report.deck = DeckIdentity{"Deck", "", "", "0x0000d0000e0decca"};
    report.started_ms = 1'760'000'000'000;
    report.ended_ms = 1'760'000'003'000;
    report.end_reason = "time-up";
    report.complete = true;
    RecordingReport r = MakeRecordingReport("a b.ts", DamagedAnalysis());
    r.sha256 = std::string(64, 'a');
    r.sha256_from = "writing";
    r.bytes = 123;
    r.mode = "ts188";
    report.recordings.push_back(r);
    report.blanks.push_back({12.5, 4});

    const Json j = Json::Parse(ReportJson(report));
    EXPECT_EQ(j["version"].number(), kReportVersion);
    EXPECT_EQ(j["command_line"].string(), "tessaline-cli record --out 'a b.ts'");
    EXPECT_TRUE(j["deck"]["vendor"].is_null());
    EXPECT_EQ(j["deck"]["guid"].string(), "0x0000d0000e0decca");
    EXPECT_EQ(j["verdict"].string(), "fail");
    EXPECT_EQ(j["end_reason"].string(), "time-up");
    EXPECT_TRUE(j["complete"].boolean());
    EXPECT_EQ(j["blanks"][0]["duration"].number(), 4);
    const Json& rec = j["recordings"][0];
    for (const char* key : {"file", "sha256", "bytes", "tape_start", "duration", "packets",
                            "cc_errors", "dropouts", "bitrate", "verdict", "pat_errors",
                            "pcr_accuracy_errors", "programs", "video", "copy_control"}) {
        EXPECT_TRUE(rec.has(key)) << key;
    }
    EXPECT_TRUE(rec["tape_start"].is_null());
    EXPECT_GE(rec["cc_errors"].number(), 2);
    EXPECT_EQ(rec["dropouts"].size(), 1u);
    EXPECT_NEAR(rec["dropouts"][0]["at"].number(), 1.0, 0.05);
    EXPECT_NEAR(rec["dropouts"][0]["duration"].number(), 0.25, 0.01);
    EXPECT_NEAR(rec["dropouts"][0]["packets_lost"].number(), 665, 3);
    EXPECT_EQ(rec["dropouts"][0]["packets_lost_from"].string(), "clock");
    EXPECT_EQ(rec["bitrate"]["dvhs_mode"].string(), "LS3");
    EXPECT_EQ(rec["bitrate"]["per_second"].size(), 3u);
    EXPECT_EQ(rec["reasons"][0].string().find("% of the packets"), 4u);
    // One recording alone, as check --json lists it, is the same object.
    EXPECT_EQ(Json::Parse(RecordingJson(r))["cc_errors"].number(), rec["cc_errors"].number());
}

TEST(Report, HtmlStandsAlone) {
    Report report;
    report.tool_version = "9.9";
    report.command_line = "tessaline-cli check <x&y>.ts";
    report.complete = true;
    RecordingReport r = MakeRecordingReport("<x&y>.ts", DamagedAnalysis());
    r.stills.push_back({1.0, std::string("\xFF\xD8jpeg\xFF\xD9", 8)});
    report.recordings.push_back(r);
    report.recordings.push_back(
        MakeRecordingReport("second.ts", AnalyseBytes(test::MakeSyntheticStream({}).bytes)));
    report.blanks.push_back({kNoTime, 4});
    const std::string html = ReportHtml(report, "TAPE1");
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<link"), std::string::npos);
    EXPECT_EQ(html.find("src=\"http"), std::string::npos);
    EXPECT_EQ(html.find("<x&y>"), std::string::npos);  // escaped
    EXPECT_NE(html.find("&lt;x&amp;y&gt;.ts"), std::string::npos);
    EXPECT_NE(html.find("data:image/jpeg;base64,/9hqcGVn/9k="), std::string::npos);
    EXPECT_NE(html.find("aria-label=\"the tape's timeline\""), std::string::npos);
    EXPECT_NE(html.find("fill=\"#c62828\" fill-opacity"), std::string::npos);  // the dropout
    EXPECT_NE(html.find("2 recordings: 1 passed, 0 with errors, 1 failed."), std::string::npos);
    EXPECT_EQ(Base64("ab"), "YWI=");
    EXPECT_EQ(Base64("abc"), "YWJj");
}

TEST(Fixity, ManifestsThatSha256sumAccepts) {
    test::TempDir dir;
    std::vector<FixityEntry> entries;
    for (const std::string name :
         {"TAPE1_01.m2ts", "with space.ts", "back\\slash.ts", "new\nline.ts"}) {
        const std::string text = "content of " + name;
        std::ofstream(dir / name, std::ios::binary) << text;
        entries.push_back({name, Sha256Hex(text.data(), text.size()), text.size()});
    }
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(dir / "manifest-sha256.txt", Sha256SumText(entries), error))
        << error;
    auto r = test::RunCommand("cd " + test::ShellQuote(dir.path().string()) +
                              " && sha256sum -c --strict manifest-sha256.txt");
    EXPECT_EQ(r.exit_code, 0) << r.output;
    // A changed byte is found.
    std::ofstream(dir / "TAPE1_01.m2ts", std::ios::binary | std::ios::app) << "x";
    r = test::RunCommand("cd " + test::ShellQuote(dir.path().string()) +
                         " && sha256sum -c manifest-sha256.txt");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(PayloadOxum(entries), std::to_string(entries[0].bytes + entries[1].bytes +
                                                   entries[2].bytes + entries[3].bytes) +
                                        ".4");

    // Nothing half-written is left where a file cannot be made.
    EXPECT_FALSE(WriteFileAtomically(dir / "no" / "such.txt", "x", error));
    EXPECT_NE(error.find("no/.such.txt.part"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir / "no"));
}

TEST(Fixity, BagItTagFiles) {
    test::TempDir dir;
    fs::create_directories(dir / "data");
    std::vector<FixityEntry> payload;
    for (const std::string name : {"TAPE1_01.m2ts", "100%.ts"}) {
        const std::string text(1000 + name.size(), 'x');
        std::ofstream(dir / "data" / name, std::ios::binary) << text;
        payload.push_back({"data/" + name, Sha256Hex(text.data(), text.size()), text.size()});
    }
    std::ofstream(dir / "TAPE1.report.json") << "{}\n";
    std::string error;
    ASSERT_TRUE(WriteBagTags(dir.path(), payload, {{"External-Identifier", "TAPE1"}},
                             {"TAPE1.report.json"}, "tessaline 9.9", error))
        << error;
    EXPECT_EQ(ReadText(dir / "bagit.txt"),
              "BagIt-Version: 1.0\nTag-File-Character-Encoding: UTF-8\n");
    const std::string info = ReadText(dir / "bag-info.txt");
    EXPECT_NE(info.find("External-Identifier: TAPE1\n"), std::string::npos);
    EXPECT_NE(info.find("Payload-Oxum: 2020.2\n"), std::string::npos) << info;
    EXPECT_NE(ReadText(dir / "manifest-sha256.txt").find("  data/100%25.ts\n"), std::string::npos);
    const std::string tags = ReadText(dir / "tagmanifest-sha256.txt");
    for (const char* name :
         {"bagit.txt", "bag-info.txt", "manifest-sha256.txt", "TAPE1.report.json"}) {
        EXPECT_NE(tags.find(std::string("  ") + name + "\n"), std::string::npos) << name;
    }
    // The tag manifest's hashes are the files' (no name needs encoding there).
    const auto r = test::RunCommand("cd " + test::ShellQuote(dir.path().string()) +
                                    " && sha256sum -c --strict tagmanifest-sha256.txt");
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

// The recording's report kept beside it: written while running (incomplete), finished at the
// end, never over a file that was there, taken along when the recording is renamed, gone when
// the recording is.
TEST(ReportSession, BesideTheRecordingFromStartToFinish) {
    test::TempDir dir;
    const auto s = test::MakeSyntheticStream({});
    const fs::path media = dir / "rec.ts";
    test::WriteFile(media, s.bytes);
    std::ofstream(dir / "rec.report.html") << "someone else's";

    Report header;
    header.command = "record";
    ReportSession session(header, media.string(), "ts188");
    TsAnalyser analyser;
    EXPECT_TRUE(session.Tick(analyser, 1000));  // nothing to write before the first figures
    EXPECT_TRUE(session.files().json.empty());
    analyser.Feed(s.bytes.data(), s.bytes.size() / 2);  // copies the figures asked for
    ASSERT_TRUE(session.Tick(analyser, 2000)) << session.error();
    EXPECT_EQ(session.files().json, dir / "rec (2).report.json");
    EXPECT_EQ(ReadText(dir / "rec.report.html"), "someone else's");
    Json j = Json::Parse(ReadText(session.files().json));
    EXPECT_FALSE(j["complete"].boolean());
    EXPECT_FALSE(j["recordings"][0]["complete"].boolean());
    EXPECT_GT(j["recordings"][0]["packets"].number(), 0);

    analyser.Feed(s.bytes.data() + s.bytes.size() / 2, s.bytes.size() - s.bytes.size() / 2);
    analyser.Finish();
    // Renamed at the end (as the delay suffix does); its hash could not be taken while writing.
    const fs::path renamed = dir / "rec Delay -33.37ms.ts";
    fs::rename(media, renamed);
    ReportSession::Ending ending{renamed.string(), "", analyser.finished(), "stopped"};
    ASSERT_TRUE(session.Finish(ending, 5000)) << session.error();
    EXPECT_EQ(session.files().json, dir / "rec Delay -33.37ms.report.json");
    EXPECT_FALSE(fs::exists(dir / "rec (2).report.json"));
    EXPECT_FALSE(fs::exists(dir / "rec (2).report.html"));
    j = Json::Parse(ReadText(session.files().json));
    EXPECT_TRUE(j["complete"].boolean());
    EXPECT_EQ(j["verdict"].string(), "pass");
    EXPECT_EQ(j["recordings"][0]["file"].string(), "rec Delay -33.37ms.ts");
    EXPECT_EQ(j["recordings"][0]["sha256_from"].string(), "reading");
    const auto sum = test::RunCommand("sha256sum " + test::ShellQuote(renamed.string()));
    EXPECT_EQ(sum.output.substr(0, 64), j["recordings"][0]["sha256"].string());
    EXPECT_EQ(j["recordings"][0]["bytes"].number(), double(s.bytes.size()));
    EXPECT_NE(ReadText(session.files().html).find("<svg"), std::string::npos);

    ReportSession empty(header, (dir / "nothing.ts").string(), "ts188");
    TsAnalyser idle;
    idle.RequestSnapshot();
    idle.Feed(nullptr, 0);
    ASSERT_TRUE(empty.Tick(idle, 1000));
    ASSERT_TRUE(fs::exists(dir / "nothing.report.json"));
    empty.Discard();
    EXPECT_FALSE(fs::exists(dir / "nothing.report.json"));
    EXPECT_FALSE(fs::exists(dir / "nothing.report.html"));
}

TEST(ReportSession, AFolderThatCannotTakeTheReportIsSaid) {
    Report header;
    ReportSession session(header, "/nonexistent-folder/rec.ts", "ts188");
    TsAnalyser analyser;
    analyser.RequestSnapshot();
    analyser.Feed(nullptr, 0);
    EXPECT_FALSE(session.Tick(analyser, 1000));
    EXPECT_NE(session.error().find("/nonexistent-folder/"), std::string::npos) << session.error();
}

// A write that fails halfway through a recording is said, leaves the last whole report in place
// and nothing half-written, and the next one mends it; the finished report is still written.
TEST(ReportSession, AFailedUpdateIsSaidAndTheNextOneMendsIt) {
    test::TempDir dir;
    const auto s = test::MakeSyntheticStream({});
    const fs::path media = dir / "rec.ts";
    test::WriteFile(media, s.bytes);
    ReportSession session(Report{}, media.string(), "ts188");
    TsAnalyser analyser;
    analyser.RequestSnapshot();
    analyser.Feed(s.bytes.data(), s.bytes.size() / 3);
    ASSERT_TRUE(session.Tick(analyser, 1000)) << session.error();
    const fs::path json = session.files().json;
    const std::string written = ReadText(json);

    // The HTML's name is taken by a folder: the update fails.
    fs::remove(session.files().html);
    fs::create_directory(session.files().html);
    EXPECT_TRUE(session.Tick(analyser, 2000));  // not due yet: nothing asked, nothing written
    EXPECT_TRUE(session.Tick(analyser, 6000));  // due: the figures are asked for
    EXPECT_EQ(ReadText(json), written);
    analyser.Feed(s.bytes.data() + s.bytes.size() / 3, s.bytes.size() / 3);
    EXPECT_FALSE(session.Tick(analyser, 6100));
    EXPECT_NE(ReadText(json), written);  // the JSON went first and is up to date
    EXPECT_NE(session.error().find(session.files().html.string()), std::string::npos)
        << session.error();
    EXPECT_TRUE(fs::is_directory(session.files().html));  // what was there is never replaced
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();  // no temporary left
    }

    fs::remove(session.files().html);
    analyser.Feed(s.bytes.data() + 2 * (s.bytes.size() / 3),
                  s.bytes.size() - 2 * (s.bytes.size() / 3));
    analyser.Finish();
    ASSERT_TRUE(session.Finish({media.string(), "", analyser.finished(), "stopped"}, 20000))
        << session.error();
    EXPECT_EQ(session.files().json, json);
    const Json j = Json::Parse(ReadText(json));
    EXPECT_TRUE(j["complete"].boolean());
    EXPECT_EQ(j["recordings"][0]["packets"].number(), double(s.packets));
    EXPECT_NE(ReadText(session.files().html).find("<svg"), std::string::npos);
}

// A name taken between choosing it and writing: nothing of ours is left, nothing of theirs lost.
TEST(ReportSession, NamesTakenMeanwhileAreNeverReplaced) {
    test::TempDir dir;
    const ReportFiles files{dir / "a.report.json", dir / "a.report.html"};
    Report report;
    report.recordings.push_back(MakeRecordingReport("a.ts", StreamAnalysis{}));
    std::ofstream(files.html) << "theirs";
    std::string error;
    errno = 0;
    EXPECT_FALSE(WriteReportFiles(files, report, "a.ts", true, error));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_NE(error.find(files.html.string()), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(files.json));  // the pair goes together
    EXPECT_EQ(ReadText(files.html), "theirs");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 1);

    // The session moves on to the next free pair.
    const fs::path media = dir / "a.ts";
    ReportSession session(Report{}, media.string(), "ts188");
    TsAnalyser idle;
    idle.RequestSnapshot();
    idle.Feed(nullptr, 0);
    ASSERT_TRUE(session.Tick(idle, 1000)) << session.error();
    EXPECT_EQ(session.files().json, dir / "a (2).report.json");
    EXPECT_EQ(ReadText(files.html), "theirs");
}

TEST(ReportStills, VideoFoundInTransportAndProgramStreams) {
    // A program stream: pack header, a padding PES, a video PES in two parts.
    const Bytes ps = {0x00, 0x00, 0x01, 0xBA, 0x44, 0,    4,    0,    4,    1,    0,
                      0,    3,    0xF8, 0x00, 0x00, 0x01, 0xBE, 0x00, 0x02, 0xFF, 0xFF,
                      0x00, 0x00, 0x01, 0xE0, 0x00, 0x05, 0x80, 0x00, 0x00, 'a',  'b',
                      0x00, 0x00, 0x01, 0xE0, 0x00, 0x04, 0x80, 0x00, 0x00, 'c'};
    std::string es;
    ExtractVideo(ps.data(), ps.size(), StillSource{}, es);
    EXPECT_EQ(es, "abc");
    EXPECT_EQ(StillTimes(3).size(), 1u);
    EXPECT_EQ(StillTimes(3).front(), 1.5);
    EXPECT_EQ(StillTimes(3600).size(), 12u);  // the start, then every five minutes
    EXPECT_TRUE(StillTimes(kNoTime).empty());
    if (!StillsSupported()) GTEST_SKIP() << "built without libavcodec";

    StillSource ts;
    ts.path = test::SamplePath("sample-hd-192.ts").string();
    ts.packet_size = 192;
    ts.video_pid = 0x100;
    ts.duration = 3;
    const auto stills = TakeStills(ts);
    ASSERT_EQ(stills.size(), 1u);
    EXPECT_EQ(stills[0].jpeg.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(stills[0].jpeg.substr(stills[0].jpeg.size() - 2), "\xFF\xD9");

    // From a program stream made by the converter.
    test::TempDir dir;
    StreamContext ctx;
    const auto job = RunRemuxJob(ctx, test::SamplePath("sample-sd.ts").string(),
                                 (dir / "sd.mpg").string(), 0x100, 0x101);
    ASSERT_TRUE(job.output_written);
    StillSource program;
    program.path = (dir / "sd.mpg").string();
    program.duration = 5;
    EXPECT_EQ(TakeStills(program).size(), 1u);
    // Nothing to see: no pictures, no failure.
    program.path = (dir / "none.mpg").string();
    EXPECT_TRUE(TakeStills(program).empty());
}

}  // namespace
}  // namespace tessaline
