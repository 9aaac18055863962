// One copy per user: the lock and socket in one process, then whole `tessaline` processes (each
// test with a runtime folder of its own, so that parallel test runs never meet).
#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
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
SingleInstance::Outcome ClaimElsewhere(const fs::path& folder) {
    std::atomic<bool> done{false};
    SingleInstance::Outcome outcome{};
    std::thread other([&] {
        SingleInstance second(folder);
        outcome = second.Claim();
        done = true;
    });
    const QDeadlineTimer limit(30000);
    while (!done && !limit.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    other.join();
    return outcome;
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
    EXPECT_EQ(ClaimElsewhere(dir.path()), SingleInstance::Outcome::HandedToSibling);
    EXPECT_EQ(received, "activate\n");

    // The sibling gone, this program starts (the lock was not kept by the copy that ended).
    sibling.close();
    SingleInstance first(dir.path());
    EXPECT_EQ(first.Claim(), SingleInstance::Outcome::First);
}

// ---- Whole processes -----------------------------------------------------------------------

class TessalineProcess : public ::testing::Test {
  protected:
    // A `tessaline` on the offscreen platform with this test's runtime folder and settings file,
    // and a virtual deck so that the start-up needs no answer.
    std::unique_ptr<QProcess> Launch() {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
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

    // Waits until some copy answers on the socket as the running one.
    bool WaitForFirstCopy() {
        const QDeadlineTimer limit(30000);
        while (!limit.hasExpired()) {
            if (AnswersAsFirstCopy(SocketOf(dir.path()))) return true;
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
    ASSERT_TRUE(fs::exists(InstanceSocketPath(dir.path(), kInstanceName)));

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

class HandOverToWindow : public MainFormTest {};

TEST_F(HandOverToWindow, SecondProcessRestoresTheMinimisedWindow) {
    Start(Make(English(), {}, 1));
    SingleInstance instance(dir.path());
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
    const std::shared_ptr<VirtualDeck> deck = framework->AddDeck(c);
    Start(std::move(o));
    ASSERT_TRUE(form->Flags.DeviceReady);
    ASSERT_FALSE(form->Flags.IsRecording);
    SingleInstance instance(dir.path());
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
