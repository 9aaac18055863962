// One copy of the recorder per user: two copies would fire the same reservation into the same deck
// and the same file. The first copy holds a lock file and answers on a local socket, both named
// after the program ("D-VHS Tessaline by Orun") and the user id, in a folder of the program's own
// ("tessaline", made 0700) inside the session's runtime folder, or, without one, in the user's
// private folder (private_folder.h); never in a shared folder, and the folders around it keep their
// modes. A later start finds the lock taken, asks the running copy to show itself over the socket,
// and ends. The lock is taken before the socket is opened, so of two starts at the same moment
// exactly one runs; the kernel drops the lock of a copy that crashed, so the socket file it left
// behind never blocks a start. The sibling deck-writing tool ("Corvath by orun") is recognised by
// its socket in the runtime folder.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tessaline {

inline constexpr char kInstanceName[] = "D-VHS Tessaline by Orun";
inline constexpr char kSiblingInstanceName[] = "Corvath by orun";
// The application title (what a taskbar shows for the program) is the same text.
inline constexpr char kApplicationTitle[] = "D-VHS Tessaline by Orun";

// $XDG_RUNTIME_DIR/tessaline; empty when the variable is not set (or not an absolute path).
std::filesystem::path InstanceFolderForThisProcess();
// Where a start looks for the lock, in order: the session's folder, then the user's private
// folder (PrivateFolder()).
std::vector<std::filesystem::path> InstanceFoldersForThisProcess();
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

    // folders: where the lock may be taken, best first (InstanceFoldersForThisProcess()). Each is
    // made when missing (PreparePrivateFolder); one that cannot be used is skipped, and the lock
    // is taken in the first that can. The sibling tool is looked for in the folder around it.
    explicit SingleInstance(std::vector<std::filesystem::path> folders, QObject* parent = nullptr);
    explicit SingleInstance(std::filesystem::path folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Decides, once, whether this copy runs. A copy that holds the lock runs, whether it answers
    // or not: this one then ends, handing its "-S" and "-P" (any case) to the running copy with
    // the request to show itself. A lock that cannot be taken in any folder lets the program
    // start, saying so on standard error: better two copies than none.
    Outcome Claim(const QStringList& switches = {});
    // The folder whose lock this copy holds; empty when it runs without one.
    const std::filesystem::path& folder() const { return folder_; }

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
    // Takes the lock in folder: 1 taken, 0 held by another copy, -1 not possible (reason set).
    int TakeLock(const std::filesystem::path& folder, std::string& reason);

    std::vector<std::filesystem::path> folders_;
    std::filesystem::path folder_;
    int lock_fd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace tessaline
