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

    /// Remembers the directory "/var/www/programs" leads to now: called once it is prepared.
    void remember();
    /// True while "/var/www/programs" still leads to the directory remembered at start-up.
    bool isIntact() const;

    /// Letters, digits, "_", "-" and "." only, neither "." nor "..", at most 255 bytes.
    static bool isValidFileName(const QString& name);

private:
    bool m_known = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};
