#pragma once

#include <sys/types.h>

#include <QString>

/// The directory of robot programs as the web server sees it, "/var/www/programs", and the
/// rule for the names of the files in it.
class ProgramStore {
public:
    /// The store's path as the robot sees it (replies) and on this machine (file access).
    static QString robotDir();
    static QString fsDir();

    /// Start-up: makes the program folder `programPath` (as the robot sees it) if it is missing,
    /// gives it the store's mode (everyone writes, only an entry's owner renames or deletes),
    /// points "/var/www/programs" at it (a link already there, even a dangling one, is replaced)
    /// and remembers where it leads. Failures are logged at level 0.
    void prepare(const QString& programPath);
    /// Remembers where "/var/www/programs" leads now, every link resolved: called once the
    /// store is prepared at start-up. Also removes the private copies of programs (ProgramCopy)
    /// that a daemon killed while they ran left behind.
    void remember();
    /// True while "/var/www/programs" is a folder and still leads to the same place.
    bool isIntact() const;

    /// Letters, digits, "_", "-" and "." only, neither "." nor "..", at most 255 bytes.
    static bool isValidFileName(const QString& name);

private:
    QString m_canonicalPath;  // empty when the store could not be prepared
};
