#pragma once

#include <QString>
#include <functional>
#include <memory>

/// A private copy of a stored program for the interpreter, which runs as root: made from the one
/// open file the checks looked at (a regular file with no other link), in a folder of its own in
/// the daemon's root-only folder "/run/webgated/programs", under the program's name. The store's
/// name is looked up once; what is there afterwards never reaches the interpreter. The copy and
/// its folder go when the last reference goes.
class ProgramCopy {
public:
    /// Larger programs are refused.
    static constexpr qint64 kMaxBytes = 16 * 1024 * 1024;

    enum class Refusal {
        None,
        Missing,     // nothing is at the name
        Link,        // a symbolic link, dangling or not
        NotAFile,    // a folder, a FIFO, a socket, a device
        OtherLinks,  // a regular file with more than one name
        TooLarge,
        Unreadable,  // the file cannot be opened or read
        CopyFailed,  // the private folder or the copy cannot be made
    };

    struct Outcome {
        std::shared_ptr<ProgramCopy> copy;  // null when refused
        Refusal refusal = Refusal::None;
        QString reason;  // why, for the log (an error text)
    };

    /// Copies the program at `source` (a path on this machine) as `name`, a plain file name.
    /// `afterCheck` runs between the checks and the copy (tests).
    static Outcome make(const QString& source, const QString& name,
                        const std::function<void()>& afterCheck = std::function<void()>());

    /// The private folder on this machine.
    static QString folder();
    /// Removes every copy in the private folder (start-up: copies a killed daemon left behind).
    /// Returns how many copies went; -1 when the folder is not usable.
    static int removeLeftovers();

    ~ProgramCopy();
    ProgramCopy(const ProgramCopy&) = delete;
    ProgramCopy& operator=(const ProgramCopy&) = delete;

    /// The copy's path on this machine.
    const QString& path() const { return m_path; }

private:
    ProgramCopy(const QString& dir, const QString& path) : m_dir(dir), m_path(path) {}

    QString m_dir;
    QString m_path;
};
