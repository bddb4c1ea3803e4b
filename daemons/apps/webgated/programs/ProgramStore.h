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
