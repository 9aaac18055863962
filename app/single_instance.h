// One copy of the recorder per user: two copies would fire the same reservation into the same deck
// and the same file. The first copy holds a lock file and answers on a local socket, both named
// after the program ("D-VHS Tessaline by Orun") and the user id, in the user's runtime folder. A
// later start finds the lock taken, asks the running copy to show itself over the socket, and ends.
// The lock is taken before the socket is opened, so of two starts at the same moment exactly one
// runs; the kernel drops the lock of a copy that crashed, so the socket file it left behind never
// blocks a start. The sibling deck-writing tool ("Corvath by orun") is recognised by its socket.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>

namespace tessaline {

inline constexpr char kInstanceName[] = "D-VHS Tessaline by Orun";
inline constexpr char kSiblingInstanceName[] = "Corvath by orun";
// The application title (what a taskbar shows for the program) is the same text.
inline constexpr char kApplicationTitle[] = "D-VHS Tessaline by Orun";

// $XDG_RUNTIME_DIR, else the temporary folder.
std::filesystem::path InstanceFolderForThisProcess();
// "<folder>/<name>.<uid>": the socket; the lock is the same path with ".lock" appended.
std::filesystem::path InstanceSocketPath(const std::filesystem::path& folder, const char* name);

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Outcome {
        First,            // this copy runs; hand-overs arrive as activationRequested
        HandedOver,       // another copy of this program runs and was asked to show itself
        HandedToSibling,  // the sibling tool runs and was asked to show itself
    };

    explicit SingleInstance(std::filesystem::path folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Decides, once, whether this copy runs. A lock that cannot be made at all (no folder, no
    // permission) lets the program start: better two copies than none. A later start hands its
    // "-S" and "-P" (any case) to the running copy with the request to show itself.
    Outcome Claim(const QStringList& switches = {});

    // How long a later start keeps trying to reach a copy that holds the lock but is still
    // starting, and waits for its answer.
    static constexpr int kHandOverWaitMs = 3000;

  signals:
    // A later start asked this copy to show itself.
    void activationRequested();
    // ... and handed over its switches ("-S", "-P", upper case; none: nothing to do).
    void switchesHandedOver(const QStringList& switches);

  private:
    // Connects to the socket at path and asks for the hand-over; false when nobody answers there.
    static bool AskToShow(const QString& path, int wait_ms, const QByteArray& request);
    void Listen();

    std::filesystem::path folder_;
    int lock_fd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace tessaline
