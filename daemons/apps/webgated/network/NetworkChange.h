#pragma once

#include <QDeadlineTimer>
#include <QEvent>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>

#include "network/NetworkUndo.h"

namespace kel::corvanta::daemons {
class EventMailbox;
}
class QTimer;
class ScriptRunner;

/// A network change that undoes itself unless it is confirmed in time. The worker thread begins
/// and confirms, the request thread asks; the script runs, the deadline passes and the files are
/// put back on the main thread. The change (with the files as they were) is kept in a state file,
/// so that it survives a restart of the daemon.
class NetworkChange : public QObject {
    Q_OBJECT
public:
    /// Keeping: a keep is being made lasting (its state file removed); it still counts as
    /// waiting.
    enum class Phase { None, Running, Waiting, Keeping, RollingBack, RolledBack, Kept };

    /// A change to make: the script with its arguments, and what undoes it.
    struct Plan {
        QString command;  // "SetEthConf", "SetWlanConf" or "SetHostapd"
        QString script;
        QStringList args;
        QStringList undoArgs;
        QList<NetworkUndo::FileSnapshot> files;
        int confirmWithin = 0;  // seconds
    };

    /// What getNetworkChange reports: the change of now or the last one.
    struct Status {
        Phase phase = Phase::None;
        QString changeId;
        QString command;
        int secondsLeft = 0;
        bool pending() const {
            return phase == Phase::Running || phase == Phase::Waiting || phase == Phase::Keeping ||
                   phase == Phase::RollingBack;
        }
        /// "running", "waiting", "rolling back", "rolled back", "kept"; empty before any change.
        QString stateName() const;
    };

    /// CannotKeep: the keep could not be made lasting; the change still waits.
    enum class Answer { Done, NonePending, StillRunning, CannotKeep };

    class StartEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User);
        explicit StartEvent(quint64 serial) : QEvent(EventType), m_serial(serial) {}
        quint64 serial() const { return m_serial; }

    private:
        quint64 m_serial;
    };
    class RollbackEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 1);
        explicit RollbackEvent(quint64 serial) : QEvent(EventType), m_serial(serial) {}
        quint64 serial() const { return m_serial; }

    private:
        quint64 m_serial;
    };

    /// A script that runs longer than this is killed and its change undone.
    static constexpr int kScriptLimitMs = 120000;

    /// Main thread.
    explicit NetworkChange(ScriptRunner& runner, QObject* parent = nullptr);
    ~NetworkChange() override;

    /// Main thread, at start-up: takes up the change a previous run left pending. One past its
    /// deadline is undone at once; one before it waits for the rest of its time, never more than
    /// its confirmWithin. A state file that cannot be used is kept aside.
    void resume();

    /// Any thread: true while a change runs, waits or is being undone.
    bool isBusy() const { return status().pending(); }
    /// Worker thread: keeps the plan in the state file and has its script started. Returns the
    /// change's id; empty with `why` when another change is busy or the state cannot be kept.
    QString begin(const Plan& plan, QString* why);
    /// Worker thread: keeps (or with `undo` undoes at once) the waiting change; an empty id
    /// means the pending one. Either is on disk before it is answered: a keep removes the state
    /// file (CannotKeep with `why` when it cannot), an undo notes "rolling back" in it.
    Answer confirm(const QString& changeId, bool undo, QString* why = nullptr);
    Status status() const;
    /// Any thread: changes begun and changes undone since start-up.
    quint64 changesBegun() const { return m_changes.load(std::memory_order_relaxed); }
    quint64 rollbacks() const { return m_rollbacks.load(std::memory_order_relaxed); }

    /// Tests: one second of confirmWithin lasts `secondMs`, a script may run `scriptLimitMs`.
    void setTiming(int secondMs, int scriptLimitMs);
    /// Main thread (tests): true while a script limit or a deadline is still ahead.
    bool isTimerActive() const;

protected:
    void customEvent(QEvent* event) override;

private:
    enum class TimerFor { Nothing, ScriptLimit, Deadline };

    void start_i(quint64 serial);
    void rollback_i(quint64 serial, const QString& reason, bool noted = false);
    /// Notes in the state file that the change is being undone, before its script runs.
    void noteRollingBack(const QString& reason);
    void scriptEnded(quint64 serial, bool undoing, int exitCode);
    void timedOut();
    void runScript(quint64 serial, bool undoing);

    ScriptRunner& m_runner;
    kel::corvanta::daemons::EventMailbox* m_mailbox;
    // Main thread only.
    QTimer* m_timer;
    TimerFor m_timerFor = TimerFor::Nothing;
    quint64 m_timerSerial = 0;
    bool m_limitHit = false;
    QString m_rollbackReason;
    bool m_undoAtDeadline = false;  // the undo began when the deadline passed
    // Guarded by m_mutex.
    mutable QMutex m_mutex;
    quint64 m_serial = 0;
    Phase m_phase = Phase::None;
    QString m_id;
    Plan m_plan;
    QDeadlineTimer m_deadline;
    int m_secondMs = 1000;
    int m_scriptLimitMs = kScriptLimitMs;
    std::atomic<quint64> m_changes{0};
    std::atomic<quint64> m_rollbacks{0};
};
