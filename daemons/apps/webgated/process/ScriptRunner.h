#pragma once

#include <QEvent>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

namespace kel::corvanta::daemons {
class EventMailbox;
}
class QTimer;
class TreeKill;

/// Starts, watches and kills the programs and scripts the daemon runs for its commands. One
/// instance, living in the main thread; every program is started through the configured
/// "~/Scripts/sudo" program with the run name and the arguments, in a session of its own. The
/// daemon is the subreaper of what they start: a kill of a run also ends what it left behind,
/// and the runner reaps those orphans once they have ended. The request and worker
/// threads only post work (runScript, killTree) and read snapshots (the queries); they never
/// touch a QProcess.
class ScriptRunner : public QObject {
    Q_OBJECT
public:
    /// Called on the main thread once the process registered under the run name has finished or
    /// failed to start (exitCode and exitStatus are -1 when it never ran).
    using FinishedCallback = std::function<void(int exitCode, int exitStatus)>;

    class RunScriptNoWaitEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User);
        RunScriptNoWaitEvent(const QString& name, const QStringList& args,
                             FinishedCallback onFinished)
            : QEvent(EventType), m_name(name), m_args(args), m_onFinished(std::move(onFinished)) {}
        const QString& name() const { return m_name; }
        const QStringList& args() const { return m_args; }
        const FinishedCallback& onFinished() const { return m_onFinished; }

    private:
        QString m_name;
        QStringList m_args;
        FinishedCallback m_onFinished;
    };

    class KillTreeEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 1);
        explicit KillTreeEvent(const QString& name) : QEvent(EventType), m_name(name) {}
        const QString& name() const { return m_name; }

    private:
        QString m_name;
    };

    /// What the queries answer, taken in one step so that a reply never mixes two moments.
    struct ProcessInfo {
        bool registered = false;  // a process is registered under the name
        int state = -1;           // QProcess::ProcessState, -1 when none is registered
        int exitCode = -1;
        int exitStatus = -1;
    };

    /// Creates the instance (main thread, once).
    static void init();
    /// Destroys the instance; every program still running is ended first.
    static void done();
    /// Main thread: ends every program still running with its whole tree, each wait bounded.
    /// done() does this too; a shutdown that cannot destroy the runner calls it alone.
    void endAll();
    static ScriptRunner* singleton();

    /// Any thread: starts `name` with `args` through the sudo program, after killing the tree
    /// of a process already registered under `name`. Returns at once.
    void runScript(const QString& name, const QStringList& args = QStringList(),
                   FinishedCallback onFinished = FinishedCallback());
    /// Any thread: kills the process tree registered under `name`. Returns at once.
    void killTree(const QString& name);

    /// Any thread: the state of the process registered under `name`.
    ProcessInfo processInfo(const QString& name) const;
    bool hasProcess(const QString& name) const { return processInfo(name).registered; }
    int getProcessState(const QString& name) const { return processInfo(name).state; }
    int getProcessExitCode(const QString& name) const { return processInfo(name).exitCode; }
    int getProcessExitStatus(const QString& name) const { return processInfo(name).exitStatus; }

    /// Any thread: how many registered processes are running now.
    int runningCount() const;
    /// Any thread: all output collected since the last call; each piece is handed out once.
    QString getProcessOutput();

    /// The output buffer keeps at most this many characters; older output is dropped first.
    static constexpr int kMaxOutputChars = 1 << 20;
    /// How long a killed tree has to end after SIGTERM before what is left gets SIGKILL.
    static constexpr int kGraceMs = 2000;
    /// Time limit of each helper program (ps, pkill, killall, kill).
    static constexpr int kHelperTimeoutMs = 3000;
    /// How often adopted processes that have ended are reaped.
    static constexpr int kReapMs = 1000;

    /// Main thread: handles the posted work waiting now (tests).
    void deliverPending();
    /// Main thread: true while a kill under `name` is still going on.
    bool isKilling(const QString& name) const { return m_kills.contains(name); }

protected:
    void customEvent(QEvent* event) override;

private Q_SLOTS:
    void on_process_readyRead();
    void on_process_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_process_error(QProcess::ProcessError error);
    void on_process_started();
    void on_process_stateChanged(QProcess::ProcessState state);

private:
    struct Run;
    /// The session a run's program opened: its number (the program's pid), the program's start
    /// time, which tells it apart from a later process with the same pid, and whether it is a
    /// robot program (run by the interpreter).
    struct Session {
        qint64 id;
        qint64 leaderStart;
        bool program;
        bool isCurrent() const;
    };
    struct PendingStart {
        QStringList args;
        FinishedCallback onFinished;
    };

    ScriptRunner();
    ~ScriptRunner() override;

    void runScript_i(const QString& name, const QStringList& args, FinishedCallback onFinished);
    void killTree_i(const QString& name);
    void startProcess(Run* run, const QStringList& args);
    /// Starts killing the tree of `process` (null: every interpreter on the machine) under `name`.
    void killTree(QProcess* process, const QString& name);
    void onKillFinished(const QString& name);
    void cancelPending(const QString& name);
    void setRecord(const QString& name, const ProcessInfo& info);
    void removeRecord(const QString& name);
    void appendOutput(const QString& text);
    Run* runOf(QObject* sender) const;
    void finishRun(Run* run, int exitCode, int exitStatus);
    void discardRun(Run* run);
    QList<qint64> sessionsOf(const QString& name) const;
    QSet<qint64> startedPids() const;
    void reap();

    static ScriptRunner* s_impl;
    kel::corvanta::daemons::EventMailbox* m_mailbox;
    // Main thread only.
    QMap<QString, Run*> m_processes;        // the process registered under each run name
    QHash<QProcess*, Run*> m_runs;          // every started process not yet finished
    QMap<QString, TreeKill*> m_kills;       // the kill still running under each run name
    QMap<QString, PendingStart> m_pending;  // starts waiting for that kill to finish
    // The sessions of each run name that may still have members.
    QMap<QString, QList<Session>> m_sessions;
    QTimer* m_reaper;
    // Guarded by m_mutex: what the other thread reads.
    mutable QMutex m_mutex;
    QMap<QString, ProcessInfo> m_records;
    QString m_output;
};
