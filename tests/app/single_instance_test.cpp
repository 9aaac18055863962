// One copy per user: the lock and socket in one process, then whole `tessaline` processes (each
// test with a runtime folder of its own, so that parallel test runs never meet).
#include "app/single_instance.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QThread>
#include <atomic>
#include <thread>

#include "app/main_form.h"
#include "recording/private_folder.h"
#include "tests/app/window_test_support.h"
#include "tests/support/test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;

QString SocketOf(const fs::path& folder, const char* name = kInstanceName) {
    return QString::fromStdString(InstanceSocketPath(folder, name).string());
}

// Runs a claim on its own thread (as a second process would block in it) while this thread
// keeps serving the first copy's socket.
SingleInstance::Outcome ClaimElsewhere(std::vector<fs::path> folders) {
    std::atomic<bool> done{false};
    SingleInstance::Outcome outcome{};
    std::thread other([&] {
        SingleInstance second(folders);
        outcome = second.Claim();
        done = true;
    });
    // The claim is bounded: it gives up on a copy that does not answer well before this.
    const QDeadlineTimer limit(60000);
    while (!done && !limit.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    EXPECT_TRUE(done) << "the claim did not end";
    other.join();
    return outcome;
}

SingleInstance::Outcome ClaimElsewhere(const fs::path& folder) {
    return ClaimElsewhere(std::vector<fs::path>{folder});
}

// Only a running first copy answers the request to show itself.
bool AnswersAsFirstCopy(const QString& socket_path) {
    QLocalSocket socket;
    socket.connectToServer(socket_path);
    if (!socket.waitForConnected(2000)) return false;
    socket.write("activate\n");
    socket.waitForBytesWritten(2000);
    const QDeadlineTimer limit(10000);
    while (!socket.canReadLine() && !limit.hasExpired()) socket.waitForReadyRead(200);
    return socket.readLine() == "ok\n";
}

TEST(SingleInstance, SecondClaimHandsOverToTheFirst) {
    test::TempDir dir;
    SingleInstance first(dir.path());
    int requests = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++requests; });
    ASSERT_EQ(first.Claim(), SingleInstance::Outcome::First);
    EXPECT_TRUE(fs::exists(InstanceSocketPath(dir.path(), kInstanceName)));

    EXPECT_EQ(ClaimElsewhere(dir.path()), SingleInstance::Outcome::HandedOver);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(ClaimElsewhere(dir.path()), SingleInstance::Outcome::HandedOver);
    EXPECT_EQ(requests, 2);
}

TEST(SingleInstance, StaleSocketOfACrashedCopyDoesNotBlock) {
    test::TempDir dir;
    // A socket file nobody listens on any more, as a killed copy leaves it.
    const std::string path = InstanceSocketPath(dir.path(), kInstanceName).string();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(fs::exists(path));

    SingleInstance first(dir.path());
    ASSERT_EQ(first.Claim(), SingleInstance::Outcome::First);
    int requests = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++requests; });
    EXPECT_EQ(ClaimElsewhere(dir.path()), SingleInstance::Outcome::HandedOver);
    EXPECT_EQ(requests, 1);
}

TEST(SingleInstance, RunningSiblingToolGetsTheHandOver) {
    test::TempDir dir;
    const fs::path ours = dir / "tessaline";  // the sibling listens in the folder around ours
    QLocalServer sibling;
    ASSERT_TRUE(sibling.listen(SocketOf(dir.path(), kSiblingInstanceName)));
    QByteArray received;
    QObject::connect(&sibling, &QLocalServer::newConnection, [&] {
        QLocalSocket* peer = sibling.nextPendingConnection();
        QObject::connect(peer, &QLocalSocket::readyRead, [&received, peer] {
            received += peer->readAll();
            peer->write("ok\n");
        });
    });
    EXPECT_EQ(ClaimElsewhere(ours), SingleInstance::Outcome::HandedToSibling);
    EXPECT_EQ(received, "activate\n");

    // The sibling gone, this program starts (the lock was not kept by the copy that ended).
    sibling.close();
    SingleInstance first(ours);
    EXPECT_EQ(first.Claim(), SingleInstance::Outcome::First);
}

// A copy that holds the lock but never answers (hung, or still starting) keeps a second copy out
// all the same, and the second one ends after a bounded wait, with and without a socket there.
TEST(SingleInstance, HolderThatNeverAnswersStillKeepsASecondCopyOut) {
    test::TempDir dir;
    const std::string lock = InstanceSocketPath(dir.path(), kInstanceName).string() + ".lock";
    const int held = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ClaimElsewhere(dir.path()), SingleInstance::Outcome::HandedOver);

    QLocalServer mute;  // takes the connection, never reads or answers
    ASSERT_TRUE(mute.listen(SocketOf(dir.path())));
    EXPECT_EQ(ClaimElsewhere(dir.path()), SingleInstance::Outcome::HandedOver);
    ::close(held);
}

// A runtime folder that cannot be used (not a folder, another user's) gives way to a private
// folder of this user, made 0700; copies meet there as they would in the runtime folder.
TEST(SingleInstance, UnusableRuntimeFolderFallsBackToAPrivateFolder) {
    test::TempDir dir;
    const fs::path not_a_folder = dir / "runtime";
    test::WriteFile(not_a_folder, {});
    const fs::path mine = dir / "tessaline";
    SingleInstance first(std::vector<fs::path>{not_a_folder, mine});
    int requests = 0;
    QObject::connect(&first, &SingleInstance::activationRequested, [&] { ++requests; });
    ASSERT_EQ(first.Claim(), SingleInstance::Outcome::First);
    EXPECT_EQ(first.folder(), mine);
    EXPECT_EQ(fs::status(mine).permissions(), fs::perms::owner_all);
    EXPECT_TRUE(fs::exists(InstanceSocketPath(mine, kInstanceName)));
    EXPECT_EQ(ClaimElsewhere({not_a_folder, mine}), SingleInstance::Outcome::HandedOver);
    EXPECT_EQ(requests, 1);

    // A folder of that name left open to others is not used, and keeps its mode.
    const fs::path loose = dir / "loose";
    fs::create_directory(loose);
    fs::permissions(loose, fs::perms::owner_all | fs::perms::group_all);
    SingleInstance other(std::vector<fs::path>{loose, dir / "second"});
    EXPECT_EQ(other.Claim(), SingleInstance::Outcome::First);
    EXPECT_EQ(other.folder(), dir / "second");
    EXPECT_EQ(fs::status(loose).permissions(), fs::perms::owner_all | fs::perms::group_all);
    EXPECT_TRUE(fs::is_empty(loose));
}

// A runtime folder shared with others (mode 1777, as /tmp) is left exactly as it was: the program
// keeps its files in a folder of its own inside it.
TEST(SingleInstance, SharedRuntimeFolderIsLeftAsItWas) {
    test::TempDir dir;
    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    const fs::perms everybody = fs::perms::all | fs::perms::sticky_bit;
    fs::permissions(shared, everybody);
    test::ScopedEnv env({"XDG_RUNTIME_DIR"});
    ::setenv("XDG_RUNTIME_DIR", shared.c_str(), 1);
    SingleInstance first(InstanceFoldersForThisProcess());
    ASSERT_EQ(first.Claim(), SingleInstance::Outcome::First);
    EXPECT_EQ(fs::status(shared).permissions(), everybody);
    EXPECT_EQ(first.folder(), shared / "tessaline");
    EXPECT_EQ(fs::status(shared / "tessaline").permissions(), fs::perms::owner_all);
}

// With no folder to take the lock in, the program starts (better two copies than none) and says
// why on standard error: never "another copy runs".
TEST(SingleInstance, LockTakenNowhereStartsAndSaysSo) {
    test::TempDir dir;
    const fs::path not_a_folder = dir / "runtime";
    test::WriteFile(not_a_folder, {});
    std::vector<fs::path> folders = {not_a_folder, not_a_folder / "tessaline"};
    if (::getuid() == 0) {
        // Another user's folder is not ours to lock in, however writable.
        const fs::path theirs = dir / "theirs";
        fs::create_directory(theirs);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        folders.push_back(theirs);
    }
    for (int copy = 0; copy < 2; ++copy) {
        ::testing::internal::CaptureStderr();
        SingleInstance instance(folders);
        EXPECT_EQ(instance.Claim(), SingleInstance::Outcome::First);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("cannot take the lock"), std::string::npos) << said;
        for (const fs::path& folder : folders) {
            EXPECT_NE(said.find(folder.string() + ": "), std::string::npos) << said;
        }
        EXPECT_TRUE(instance.folder().empty());
    }
    if (::getuid() == 0) {
        EXPECT_TRUE(fs::is_empty(folders.back()));
    }
}

TEST(SingleInstance, FoldersAreTheSessionsThenThePrivateOneNeverTheSharedTemporaryOne) {
    test::ScopedEnv env({"XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME", "TMPDIR"});
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME", "TMPDIR"}) {
        ::unsetenv(name);
    }
    const fs::path mine = PrivateFolder();
    ASSERT_FALSE(mine.empty());
    EXPECT_EQ(InstanceFoldersForThisProcess(), std::vector<fs::path>{mine});
    ::setenv("XDG_RUNTIME_DIR", "relative/run", 1);  // not a usable folder
    ::setenv("TMPDIR", "/somewhere", 1);
    EXPECT_EQ(InstanceFoldersForThisProcess(), std::vector<fs::path>{mine});
    ::setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(InstanceFoldersForThisProcess(),
              (std::vector<fs::path>{"/run/user/7/tessaline", mine}));
}

// ---- Whole processes -----------------------------------------------------------------------

class TessalineProcess : public ::testing::Test {
  protected:
    // A `tessaline` on the offscreen platform with this test's runtime folder and settings file,
    // and a virtual deck so that the start-up needs no answer.
    std::unique_ptr<QProcess> Launch(const fs::path& runtime = {}) {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR",
                   QString::fromStdString((runtime.empty() ? dir.path() : runtime).string()));
        env.insert("XDG_CACHE_HOME", QString::fromStdString((dir / "cache").string()));
        // Where Qt makes its own runtime folder when the one given cannot be used.
        env.insert("TMPDIR", QString::fromStdString(dir.path().string()));
        env.insert("TESSALINE_INI", QString::fromStdString((dir / "t.INI").string()));
        env.insert("TESSALINE_VIRTUAL_DECK",
                   QString::fromStdString(test::SamplePath("sample-sd-192.ts").string()));
        env.insert("TESSALINE_POWER", "dry-run");
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(TESSALINE_GUI, {});
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }

    // Waits until some copy answers on the socket (in folder) as the running one.
    bool WaitForFirstCopy(const fs::path& folder = {}) {
        const QDeadlineTimer limit(30000);
        while (!limit.hasExpired()) {
            if (AnswersAsFirstCopy(SocketOf(folder.empty() ? dir / "tessaline" : folder))) {
                return true;
            }
            QThread::msleep(50);
        }
        return false;
    }

    static bool EndedWithSuccess(QProcess& p) {
        return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }

    static void Stop(QProcess& p) {
        if (p.state() == QProcess::NotRunning) return;
        p.terminate();  // closes like the user: settings saved
        if (!p.waitForFinished(10000)) p.kill();
        p.waitForFinished(5000);
    }

    test::TempDir dir;
};

TEST_F(TessalineProcess, SecondStartEndsAndAStartAfterACrashRuns) {
    auto first = Launch();
    ASSERT_TRUE(WaitForFirstCopy());

    auto second = Launch();
    EXPECT_TRUE(EndedWithSuccess(*second));
    EXPECT_EQ(first->state(), QProcess::Running);

    ::kill(static_cast<pid_t>(first->processId()), SIGKILL);  // leaves its socket file behind
    first->waitForFinished(10000);
    ASSERT_TRUE(fs::exists(InstanceSocketPath(dir / "tessaline", kInstanceName)));

    auto third = Launch();
    EXPECT_TRUE(WaitForFirstCopy());
    EXPECT_EQ(third->state(), QProcess::Running);
    Stop(*third);
    EXPECT_EQ(third->exitCode(), 0);
}

TEST_F(TessalineProcess, TwoStartsAtOnceLeaveExactlyOneRunning) {
    auto a = Launch();
    auto b = Launch();
    ASSERT_TRUE(WaitForFirstCopy());
    // One of them ends by itself; wait for that without deciding in advance which.
    const QDeadlineTimer limit(30000);
    while (a->state() == QProcess::Running && b->state() == QProcess::Running &&
           !limit.hasExpired()) {
        a->waitForFinished(50);
        b->waitForFinished(50);
    }
    const int running =
        (a->state() == QProcess::Running ? 1 : 0) + (b->state() == QProcess::Running ? 1 : 0);
    EXPECT_EQ(running, 1);
    QProcess& ended = a->state() == QProcess::Running ? *b : *a;
    EXPECT_EQ(ended.exitCode(), 0);
    EXPECT_TRUE(WaitForFirstCopy());  // the one left is the running copy
    Stop(*a);
    Stop(*b);
}

// The runtime folder unusable: copies still meet in the user's private folder, and a second one
// ends.
TEST_F(TessalineProcess, UnusableRuntimeFolderStillAllowsOneCopy) {
    const fs::path not_a_folder = dir / "runtime";
    test::WriteFile(not_a_folder, {});
    auto first = Launch(not_a_folder);
    ASSERT_TRUE(WaitForFirstCopy(PrivateFolder()));
    auto second = Launch(not_a_folder);
    EXPECT_TRUE(EndedWithSuccess(*second));
    EXPECT_EQ(first->state(), QProcess::Running);
    Stop(*first);
    EXPECT_EQ(first->exitCode(), 0);
}

class HandOverToWindow : public MainFormTest {};

TEST_F(HandOverToWindow, SecondProcessRestoresTheMinimisedWindow) {
    Start(Make(English(), {}, 1));
    SingleInstance instance(dir / "tessaline");
    ASSERT_EQ(instance.Claim(), SingleInstance::Outcome::First);
    QObject::connect(&instance, &SingleInstance::activationRequested, form.get(),
                     &TFormQuillor::HandOver);
    form->showMinimized();
    QApplication::processEvents();
    ASSERT_TRUE(form->isMinimized());

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
    env.insert("TESSALINE_INI", QString::fromStdString((dir / "second.INI").string()));
    second.setProcessEnvironment(env);
    second.start(TESSALINE_GUI, {});
    ASSERT_TRUE(second.waitForStarted(10000));
    // Serve the request while the second copy waits for the answer.
    const QDeadlineTimer limit(30000);
    while (second.state() != QProcess::NotRunning && !limit.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        second.waitForFinished(20);
    }
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_FALSE(form->isMinimized());
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(fs::exists(dir / "second.INI"));  // it never got as far as a window
}

// A second start with -S and -P hands both to the running copy, which records at once (as its
// own -S would) with the deck switched on; the second copy ends with status 0.
TEST_F(HandOverToWindow, SecondStartHandsItsSwitchesToTheRunningCopy) {
    test::TempDir out;
    WriteIni("[Capture]\nDevice=0\nSaveDir=" + (out.path() / "").string() + "\n");
    TFormQuillor::Options o = Make(English(), {}, 0);
    VirtualDeckConfig c;
    c.file = test::SamplePath("sample-sd-192.ts").string();
    c.tape_file = (out / "deck.tape").string();
    c.fast = true;
    c.power = ED_POWER_STANDBY;
    const std::shared_ptr<VirtualDeck> deck = framework->AddDeck(std::make_shared<VirtualDeck>(c));
    Start(std::move(o));
    ASSERT_TRUE(form->Flags.DeviceReady);
    ASSERT_FALSE(form->Flags.IsRecording);
    SingleInstance instance(dir / "tessaline");
    ASSERT_EQ(instance.Claim(), SingleInstance::Outcome::First);
    QObject::connect(&instance, &SingleInstance::activationRequested, form.get(),
                     &TFormQuillor::HandOver);
    QObject::connect(&instance, &SingleInstance::switchesHandedOver, form.get(),
                     &TFormQuillor::HandOverSwitches);

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
    env.insert("TESSALINE_INI", QString::fromStdString((dir / "second.INI").string()));
    second.setProcessEnvironment(env);
    second.start(TESSALINE_GUI, {"-s", "-P"});
    ASSERT_TRUE(second.waitForStarted(10000));
    const QDeadlineTimer limit(30000);
    while (second.state() != QProcess::NotRunning && !limit.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        second.waitForFinished(20);
    }
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    ASSERT_TRUE(form->Flags.IsRecording);
    EXPECT_TRUE(form->Recording()->State().NoTimeLimit);
    EXPECT_EQ(deck->power(), ED_POWER_ON);
    form->btnStopClick();
    EXPECT_FALSE(form->Flags.IsRecording);

    // "-P" on its own only switches the deck on.
    deck->SetPower(ED_POWER_STANDBY);
    form->HandOverSwitches({"-p"});
    EXPECT_EQ(deck->power(), ED_POWER_ON);
    EXPECT_FALSE(form->Flags.IsRecording);
}

}  // namespace
}  // namespace tessaline
