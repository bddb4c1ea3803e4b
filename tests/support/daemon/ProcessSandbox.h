#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testsupport {

/// True while `pid` runs (a zombie counts as gone).
bool processRuns(qint64 pid);
/// The pids listed one per line in `text`.
QList<qint64> pidsIn(const QByteArray& text);

/// Real programs for the script runner's tests: a directory of small scripts, and a stand-in
/// `sudo` first on PATH that records its arguments and runs them unprivileged.
class ProcessSandbox {
public:
    ProcessSandbox();

    QString dir() const { return m_dir.path(); }
    QString path(const QString& name) const { return dir() + QLatin1Char('/') + name; }
    /// Writes an executable bash script `name` with `body` and returns its path.
    QString writeScript(const QString& name, const QByteArray& body) const;
    /// Writes a plain file and returns its path.
    QString writeFile(const QString& name, const QByteArray& content) const;
    /// The contents of a file the scripts wrote (empty if missing).
    QByteArray readFile(const QString& name) const;

    /// What the stand-in `sudo` logged since the last clear: its arguments joined by blanks when
    /// a call starts, and "done " followed by them when it has ended.
    QStringList sudoCalls() const;
    void clearSudoCalls() const;

    /// Configuration with `sudo` as "~/Scripts/sudo" and `interpreter` as "~/Flowdesk/path".
    static QByteArray config(const QString& interpreter,
                             const QString& sudo = QStringLiteral("/usr/bin/env"));

    /// Script lines that start a chain root -> child -> grandchild in the sandbox directory:
    /// each level writes its pid into "pids", runs until SIGTERM and restarts its own "sleep"
    /// children when they are killed. ONTERM set before them replaces the SIGTERM action.
    static QByteArray threeLevelTree();

private:
    QTemporaryDir m_dir;
};

}  // namespace testsupport
