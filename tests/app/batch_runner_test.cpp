// The batch tab without a window: the job list's row rules, the PID boxes' reading, and the runner
// over real files (skips, the empty row that ends a run, aborts, failures, the PID search).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "app/batch_runner.h"
#include "app/job_list.h"
#include "stream/file_remux.h"
#include "stream/output_file.h"
#include "stream/stream_context.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;
using End = BatchRunner::End;

std::vector<std::string> Inputs(const JobList& jobs) {
    std::vector<std::string> out;
    for (int r = 1; r < jobs.RowCount(); ++r) out.push_back(jobs.Row(r).input);
    return out;
}

TEST(JobList, AddFillsTheFirstFreeRowAndDeleteMovesRowsUp) {
    JobList jobs;
    EXPECT_EQ(jobs.RowCount(), 2);
    EXPECT_TRUE(jobs.IsEmpty());
    EXPECT_EQ(jobs.Add({"a", "A"}), 1);
    EXPECT_EQ(jobs.Add({"b", ""}), 2);  // an empty output is taken as it is
    EXPECT_EQ(jobs.Add({"c", "C"}), 3);
    EXPECT_FALSE(jobs.IsEmpty());

    jobs.Delete(3);  // the last row stays, empty, and the next Add fills it
    EXPECT_EQ(jobs.RowCount(), 4);
    EXPECT_EQ(jobs.Row(3), RemuxJob{});
    EXPECT_EQ(jobs.Add({"d", "D"}), 3);
    EXPECT_EQ(jobs.RowCount(), 4);

    jobs.Delete(1);  // rows below move up, the grid loses its last row
    EXPECT_EQ(Inputs(jobs), (std::vector<std::string>{"b", "d"}));
    EXPECT_EQ(jobs.Row(2).output, "D");
    jobs.Delete(1);
    jobs.Delete(1);  // never fewer than one data row
    EXPECT_EQ(jobs.RowCount(), 2);
    EXPECT_TRUE(jobs.IsEmpty());
    jobs.Delete(0);
    jobs.Delete(7);  // no such row: nothing
    EXPECT_EQ(jobs.RowCount(), 2);

    jobs.Add({"x", "X"});
    jobs.Add({"y", "Y"});
    jobs.Clear();
    EXPECT_EQ(jobs.RowCount(), 2);
    EXPECT_TRUE(jobs.IsEmpty());
}

TEST(BatchRunner, PidBoxesAndFigures) {
    EXPECT_EQ(PidFromText("1FF"), 0x1FF);
    EXPECT_EQ(PidFromText("1ff"), 0x1FF);
    EXPECT_EQ(PidFromText("0100"), 0x100);
    for (const char* text : {"G", "", "1G", "-1", " 10", "0x10"}) {
        EXPECT_EQ(PidFromText(text), 0) << text;
    }
    EXPECT_EQ(PidFromText("1FFFF"), 0xFFFF);  // kept in 16 bits
    EXPECT_EQ(PidText(0x1FF), "01FF");
    EXPECT_EQ(PidText(0), "0000");
    EXPECT_EQ(PidText(0x12345), "12345");

    StreamContext ctx;
    EXPECT_EQ(ProgressPosition(ctx), 0);  // no size yet: no division by it
    ctx.stats.FileSize = 1000;
    ctx.stats.BytesRead = 333;
    EXPECT_EQ(ProgressPosition(ctx), 3330);
    // Of a file of 192-byte source packets only 188 of every 192 bytes are counted as read.
    ctx.file.PacketSize = 192;
    ctx.stats.FileSize = 192 * 10;
    ctx.stats.BytesRead = 188 * 10;
    EXPECT_EQ(ProgressPosition(ctx), 10000);
}

// The tab as the runner leaves it, and what it was shown on the way.
class RecordingView final : public BatchView {
  public:
    void ShowPaths(const std::string& in, const std::string& out) override {
        input = in;
        output = out;
    }
    std::string VideoPidText() const override { return video; }
    std::string AudioPidText() const override { return audio; }
    void ShowPids(const std::string& v, const std::string& a) override {
        video = v;
        audio = a;
        pids_shown.push_back(v + "/" + a);
    }
    void ShowProgress(int p) override {
        progress = p;
        max_progress = std::max(max_progress, p);
    }
    void SetRunning(bool r) override {
        running = r;
        if (r) {
            ++jobs_started;
            started_inputs.push_back(input);
        }
    }
    void ShowTimestamps(const TStreamStatistics& s) override { first_video_pts = s.FirstVideoPts; }
    void ShowFailure(const std::string& m) override { failures.push_back(m); }
    bool UseEnglish() const override { return english; }
    void PrepareJob() override { ++prepared; }
    void SetSearching(bool s) override { searching.push_back(s); }

    std::string input = "unchanged", output = "unchanged", video = "0", audio = "0";
    int progress = -1, max_progress = 0, jobs_started = 0, prepared = 0;
    bool running = false, english = true;
    uint64_t first_video_pts = 0;
    std::vector<std::string> started_inputs, failures, pids_shown;
    std::vector<bool> searching;
};

class BatchRunnerTest : public ::testing::Test {
  protected:
    BatchRunnerTest() : runner(ctx, view) {
        ctx.file.pump_interval = {};
        ctx.file.pump = [this] {
            if (during_pump) during_pump();
        };
    }
    std::string Sample(const char* name) { return test::SamplePath(name).string(); }
    std::string Out(const char* name) { return (dir / name).string(); }

    test::TempDir dir;
    StreamContext ctx;
    RecordingView view;
    BatchRunner runner;
    JobList jobs;
    std::function<void()> during_pump;
};

TEST_F(BatchRunnerTest, EmptyListIsReportedAndNothingRuns) {
    EXPECT_EQ(runner.Click(jobs), End::NoJobs);
    EXPECT_EQ(view.input, "unchanged");
    EXPECT_EQ(view.prepared, 0);
}

TEST_F(BatchRunnerTest, AnEmptyOutputCellEndsTheRunWithTheFirstJobsPathsShown) {
    jobs.Add({Sample("sample-sd.ts"), Out("one.mpg")});
    jobs.Add({Sample("sample-ac3.ts"), ""});
    jobs.Add({Sample("sample-sd-192.ts"), Out("three.mpg")});
    EXPECT_EQ(runner.Click(jobs), End::EmptyRow);
    EXPECT_EQ(view.jobs_started, 1);
    EXPECT_EQ(view.input, Sample("sample-sd.ts"));
    EXPECT_EQ(view.output, Out("one.mpg"));
    EXPECT_TRUE(fs::exists(Out("one.mpg")));
    EXPECT_FALSE(fs::exists(Out("three.mpg")));
}

TEST_F(BatchRunnerTest, OutputThatIsTheInputIsSkippedUnderAnySpellingAndTheNextJobRuns) {
    const std::string input = Out("in.ts");
    fs::copy_file(test::SamplePath("sample-sd.ts"), input);
    const test::Bytes original = test::ReadFile(input);
    fs::create_symlink(input, dir / "link.ts");
    jobs.Add({input, input});
    jobs.Add({input, dir.path().string() + "/./in.ts"});
    jobs.Add({input, dir.path().string() + "//in.ts"});
    jobs.Add({input, Out("link.ts")});
    jobs.Add({Sample("sample-sd-192.ts"), Out("out.mpg")});
    jobs.Add({Out("missing.ts"), Out("never.mpg")});
    jobs.Add({Sample("sample-sd.ts"), Out("no-such-folder/x.mpg")});
    EXPECT_EQ(runner.Click(jobs), End::AllDone);
    EXPECT_EQ(test::ReadFile(input), original);  // never truncated
    EXPECT_EQ(view.started_inputs, std::vector<std::string>{Sample("sample-sd-192.ts")});
    EXPECT_FALSE(fs::exists(Out("never.mpg")));
    // After the run: both path boxes empty, PID boxes "0", progress 0.
    EXPECT_EQ(view.input, "");
    EXPECT_EQ(view.output, "");
    EXPECT_EQ(view.video, "0");
    EXPECT_EQ(view.audio, "0");
    EXPECT_EQ(view.progress, 0);
    EXPECT_FALSE(view.running);
    EXPECT_NE(view.first_video_pts, 0u);

    // The output is what one job of the command-line remux makes from the same file.
    StreamContext fresh;
    ASSERT_EQ(RunRemuxJob(fresh, Sample("sample-sd-192.ts"), Out("ref.mpg"), 0, 0).outcome,
              RemuxJobResult::Outcome::Done);
    EXPECT_EQ(test::ReadFile(Out("out.mpg")), test::ReadFile(Out("ref.mpg")));
}

TEST_F(BatchRunnerTest, GivenPidsAreUsedAndEmptyBoxesBecomeZero) {
    jobs.Add({Sample("sample-sd.ts"), Out("given.mpg")});
    view.video = "100";
    view.audio = "";
    // While the job runs, the monitor's figures show the progress and the PIDs in use.
    during_pump = [this] { runner.ShowRunningFigures(); };
    EXPECT_EQ(runner.Click(jobs), End::AllDone);
    ASSERT_GE(view.pids_shown.size(), 3u);
    EXPECT_EQ(view.pids_shown.front(), "100/0");
    EXPECT_NE(std::find(view.pids_shown.begin(), view.pids_shown.end(), "0100/0101"),
              view.pids_shown.end());
    EXPECT_GT(view.max_progress, 0);
    EXPECT_LE(view.max_progress, 10000);
    EXPECT_EQ(view.pids_shown.back(), "0/0");
}

TEST_F(BatchRunnerTest, SecondClickAbortsTheRunningJobAndTheRestDoNotStart) {
    jobs.Add({Sample("sample-sd.ts"), Out("1.mpg")});
    jobs.Add({Sample("sample-hd-192.ts"), Out("2.mpg")});
    jobs.Add({Sample("sample-sd-192.ts"), Out("3.mpg")});
    bool clicked = false;
    during_pump = [&] {
        if (!runner.Running() || view.input != Sample("sample-hd-192.ts") || clicked) return;
        // Once the second job has written its first block.
        if (ctx.ConverterOutput == nullptr || ctx.ConverterOutput->bytes_written() == 0) return;
        clicked = true;
        EXPECT_EQ(runner.Click(jobs), End::AbortRequested);
    };
    EXPECT_EQ(runner.Click(jobs), End::Aborted);
    EXPECT_EQ(view.jobs_started, 2);
    EXPECT_FALSE(runner.Running());
    EXPECT_FALSE(view.running);
    // The second output is closed, partial; the third was never created.
    StreamContext fresh;
    ASSERT_EQ(RunRemuxJob(fresh, Sample("sample-hd-192.ts"), Out("full.mpg"), 0, 0).outcome,
              RemuxJobResult::Outcome::Done);
    EXPECT_LT(fs::file_size(Out("2.mpg")), fs::file_size(Out("full.mpg")));
    EXPECT_FALSE(fs::exists(Out("3.mpg")));
    // The boxes keep the aborted job's paths.
    EXPECT_EQ(view.output, Out("2.mpg"));
    // A run afterwards starts afresh.
    JobList one;
    one.Add({Sample("sample-sd.ts"), Out("again.mpg")});
    during_pump = nullptr;
    EXPECT_EQ(runner.Click(one), End::AllDone);
}

// A job that fails (a full disk, a file that is not TS) is named in one message at the end of the
// run; the jobs after it run, and the output it would have replaced is as it was.
TEST_F(BatchRunnerTest, FailedJobsAreReportedOnceAndTheNextJobsRun) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    test::WriteFile(dir / "junk.ts", test::Bytes(5000, 0x11));
    test::WriteFile(dir / "kept.mpg", test::Bytes(10, 0x22));
    jobs.Add({Sample("sample-sd.ts"), "/dev/full"});
    jobs.Add({Out("junk.ts"), Out("kept.mpg")});
    jobs.Add({Sample("sample-sd-192.ts"), Out("after.mpg")});
    EXPECT_EQ(runner.Click(jobs), End::Failed);
    EXPECT_EQ(view.jobs_started, 3);
    ASSERT_EQ(view.failures.size(), 1u);
    const std::string& text = view.failures[0];
    EXPECT_EQ(text.rfind("These jobs could not be converted", 0), 0u) << text;
    EXPECT_NE(text.find("/dev/full"), std::string::npos) << text;
    EXPECT_NE(text.find(Out("junk.ts") + ": "), std::string::npos) << text;
    EXPECT_EQ(text.find("sample-sd-192"), std::string::npos) << text;
    EXPECT_EQ(test::ReadFile(Out("kept.mpg")), test::Bytes(10, 0x22));
    EXPECT_GT(fs::file_size(Out("after.mpg")), 0u);
    EXPECT_FALSE(view.running);
    EXPECT_EQ(view.input, "");  // the run went to its end

    // In Japanese the heading is Japanese.
    view.english = false;
    view.failures.clear();
    JobList one;
    one.Add({Out("junk.ts"), Out("kept.mpg")});
    EXPECT_EQ(runner.Click(one), End::Failed);
    ASSERT_EQ(view.failures.size(), 1u);
    EXPECT_EQ(view.failures[0].rfind("次のジョブは変換できませんでした", 0), 0u)
        << view.failures[0];
}

TEST_F(BatchRunnerTest, PidSearchFillsTheBoxesOrLeavesZeros) {
    EXPECT_TRUE(runner.SearchPids(Sample("sample-hd-192.ts")));
    EXPECT_EQ(view.video, "0100");
    EXPECT_EQ(view.audio, "0101");
    EXPECT_EQ(view.searching, (std::vector<bool>{true, false}));

    // AC-3 counts as audio only with the private-stream option: the end of the file comes first.
    EXPECT_TRUE(runner.SearchPids(Sample("sample-ac3.ts")));
    EXPECT_EQ(view.video, "0");
    EXPECT_EQ(view.audio, "0");
    EXPECT_EQ(view.searching.size(), 4u);
    EXPECT_FALSE(view.searching.back());

    ctx.options.CheckPrivateStream = true;
    EXPECT_TRUE(runner.SearchPids(Sample("sample-ac3.ts")));
    EXPECT_NE(view.audio, "0");

    view.searching.clear();
    EXPECT_FALSE(runner.SearchPids(Out("missing.ts")));
    EXPECT_FALSE(runner.SearchPids(dir.path().string()));  // a folder is no file
    EXPECT_FALSE(runner.SearchPids(""));
    EXPECT_TRUE(view.searching.empty());

    // A click on the start button while the search runs does not start a conversion beside it.
    jobs.Add({Sample("sample-sd.ts"), Out("beside.mpg")});
    std::vector<End> clicks;
    during_pump = [&] { clicks.push_back(runner.Click(jobs)); };
    EXPECT_TRUE(runner.SearchPids(Sample("sample-sd-192.ts")));
    ASSERT_FALSE(clicks.empty());
    EXPECT_EQ(clicks.front(), End::Busy);
    EXPECT_FALSE(fs::exists(Out("beside.mpg")));
}

}  // namespace
}  // namespace tessaline
