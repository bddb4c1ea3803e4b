#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

class QTimer;

/// One kill of a process tree, run step by step on the main thread without ever waiting there:
/// lists the children with "/bin/ps" and sends SIGTERM to each level with pkill, deepest first,
/// then SIGTERM to the root and to what the program left outside its tree (the rest of its
/// sessions); whatever of all that still runs after the grace period gets SIGKILL. Each helper
/// program has a time limit. Emits finished() once all of it is gone or nothing more can be done.
class TreeKill : public QObject {
    Q_OBJECT
public:
    /// Kills the descendants of `root`, then `root` itself, and the processes of `sessions` (see
    /// strays()). Helper programs become children of `helperParent`, so that one still ending
    /// outlives this job without being waited for.
    TreeKill(QProcess* root, const QList<qint64>& sessions, int graceMs, int helperTimeoutMs,
             QObject* helperParent, QObject* parent);
    /// Runs "sudo killall `program`" instead of walking a tree, then kills the processes of
    /// `sessions`.
    TreeKill(const QString& program, const QList<qint64>& sessions, int graceMs,
             int helperTimeoutMs, QObject* helperParent, QObject* parent);

    void start();
    bool isFinished() const { return m_finished; }

    /// A process told apart from a later one that reuses its pid.
    struct Process {
        qint64 pid;
        qint64 startTime;
        bool runs() const { return startTime >= 0 && startTimeOf(pid) == startTime; }
    };

    /// Start time of a live process in clock ticks since boot, or -1 when it is gone or a zombie.
    static qint64 startTimeOf(qint64 pid);
    /// The descendants of `pid` as they are now, deepest first; read from /proc, no helper.
    static QList<Process> descendantsNow(qint64 pid);
    /// Sends `signal` at once to those of `processes` that still run, in order; the ones this
    /// process may not signal get it through "sudo kill", waited for at most `timeoutMs`.
    /// For shutdown, when the event loop no longer runs.
    static void signalNow(const QList<Process>& processes, int signal, int timeoutMs);
    /// What runs of `sessions` outside the programs' trees: the daemon's adopted children in
    /// one of them (never a session's leader, a program the daemon started and ends itself),
    /// with their descendants, deepest first. The daemon's own session is never one of them.
    static QList<Process> strays(const QList<qint64>& sessions);
    /// Reaps those of the daemon's children that have ended and that it adopted (their parent
    /// ended before them: the daemon is their subreaper), never one in the daemon's own session
    /// or in `started` (the pids of the processes it started itself). Returns the sessions of the
    /// adopted children still running.
    static QSet<qint64> reapAdopted(const QSet<qint64>& started);

Q_SIGNALS:
    void finished();

private:
    struct Level {
        qint64 pid;
        QList<qint64> children;
        int next = 0;
    };

    using StepDone = std::function<void(bool ok, const QByteArray& output)>;
    void runStep(const QString& program, const QStringList& args, StepDone done);
    void listChildren(qint64 pid);
    void advance();
    void treeSignalled();
    void poll();
    void graceOver();
    void finish();
    QList<qint64> survivors() const;
    bool addMember(const Process& process);
    bool signalStrays(int signal);

    QPointer<QProcess> m_root;
    qint64 m_rootPid = 0;
    QString m_killallProgram;
    QList<qint64> m_sessions;
    int m_graceMs = 0;
    int m_helperTimeoutMs;
    QObject* m_helperParent;
    QList<Level> m_stack;
    QList<Process> m_members;  // every process of the tree seen, the root first
    QTimer* m_poll = nullptr;
    QTimer* m_grace = nullptr;
    bool m_killSent = false;
    bool m_finished = false;
};
