#pragma once

#include <QEvent>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>

/// Starts, watches and kills the programs and scripts the daemon runs for its commands. One
/// instance, living in the main thread; every program is started through the configured
/// "~/Scripts/sudo" program with the run name and the arguments. The request thread only posts
/// work (runScript, killTree) and reads snapshots (the queries); it never touches a QProcess.
class ScriptRunner : public QObject {
    Q_OBJECT
public:
    /// Called on the main thread once the process registered under the run name has finished or
    /// failed to start (exitCode and exitStatus are -1 when it never ran).
    using FinishedCallback = std::function<void(int exitCode, int exitStatus)>;

    class RunScriptNoWaitEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User);
        RunScriptNoWaitEvent(const QString& name, const QStringList& args, FinishedCallback onFinished)
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

    /// Any thread: all output collected since the last call; each piece is handed out once.
    QString getProcessOutput();
};
