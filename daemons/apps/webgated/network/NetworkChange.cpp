#include "network/NetworkChange.h"

#include <QDateTime>
#include <QMutexLocker>
#include <QPointer>
#include <QRandomGenerator>
#include <QTimer>

#include "base/DaemonLog.h"
#include "kel/corvanta/daemons/EventMailbox.h"
#include "kel/corvanta/daemons/Log.h"
#include "network/NetworkChangeState.h"
#include "network/NetworkConfigFiles.h"
#include "network/NetworkScript.h"
#include "process/ScriptRunner.h"

using kel::corvanta::daemons::EventMailbox;

namespace {

QString joinedPaths(const QList<NetworkUndo::FileSnapshot>& files) {
    QStringList paths;
    for (const NetworkUndo::FileSnapshot& file : files) paths << file.path;
    return paths.join(QStringLiteral(", "));
}

}  // namespace

QString NetworkChange::Status::stateName() const {
    return QLatin1String(NetworkChangeState::phaseText(phase));
}

NetworkChange::NetworkChange(ScriptRunner& runner, QObject* parent)
    : QObject(parent),
      m_runner(runner),
      m_mailbox(new EventMailbox(this)),
      m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    // A coarse timer may fire 5 % late: half a minute on a 600 s deadline.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &NetworkChange::timedOut);
}

NetworkChange::~NetworkChange() = default;

void NetworkChange::setTiming(int secondMs, int scriptLimitMs) {
    QMutexLocker lock(&m_mutex);
    m_secondMs = secondMs;
    m_scriptLimitMs = scriptLimitMs;
}

bool NetworkChange::isTimerActive() const { return m_timer->isActive(); }

NetworkChange::Status NetworkChange::status() const {
    QMutexLocker lock(&m_mutex);
    Status status;
    status.phase = m_phase;
    status.changeId = m_id;
    status.command = m_plan.command;
    if (m_phase == Phase::Running) {
        status.secondsLeft = m_plan.confirmWithin;
    } else if (m_phase == Phase::Waiting || m_phase == Phase::Keeping) {
        const qint64 left = m_deadline.remainingTime();
        status.secondsLeft = static_cast<int>((left + m_secondMs - 1) / m_secondMs);
    }
    return status;
}

QString NetworkChange::begin(const Plan& plan, QString* why) {
    const QString id = QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16,
                                                QLatin1Char('0'));
    quint64 serial = 0;
    qint64 deadlineMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (Status{m_phase, {}, {}, 0}.pending()) {
            *why = QStringLiteral("another change is pending");
            return QString();
        }
        // Until the script has ended the deadline is not known: past the longest a script may
        // run and the time to confirm, a change found after a crash is undone in any case.
        deadlineMs = QDateTime::currentMSecsSinceEpoch() + m_scriptLimitMs +
                     qint64(plan.confirmWithin) * m_secondMs;
    }
    // Written before the script runs: a crash from here on still undoes the change.
    if (!NetworkChangeState::write({id, plan, Phase::Running, deadlineMs}, why)) return QString();
    {
        QMutexLocker lock(&m_mutex);
        serial = ++m_serial;
        m_phase = Phase::Running;
        m_id = id;
        m_plan = plan;
    }
    daemonLog(QStringLiteral("Network change %1 (%2) starts; undone unless confirmed within %3 s")
                  .arg(id, plan.command)
                  .arg(plan.confirmWithin),
              1);
    m_mailbox->post(new StartEvent(serial));
    m_changes.fetch_add(1, std::memory_order_relaxed);
    return id;
}

NetworkChange::Answer NetworkChange::confirm(const QString& changeId, bool undo, QString* why) {
    quint64 serial = 0;
    QString command, id;
    {
        QMutexLocker lock(&m_mutex);
        const bool ours = changeId.isEmpty() || changeId == m_id;
        if (!ours || (m_phase != Phase::Running && m_phase != Phase::Waiting))
            return Answer::NonePending;
        if (m_phase == Phase::Running) return Answer::StillRunning;
        // Decided here, under the lock the deadline takes too: keeping and undoing never both.
        m_phase = undo ? Phase::RollingBack : Phase::Keeping;
        serial = m_serial;
        command = m_plan.command;
        id = m_id;
    }
    if (undo) {
        // On disk before the answer: a daemon killed during the undo takes it up again.
        noteRollingBack(QStringLiteral("undone on request"));
        m_mailbox->post(new RollbackEvent(serial));
        return Answer::Done;
    }
    // Once kept, nothing may undo it after a restart: kept only if the state file is gone.
    QString failure;
    const bool removed = NetworkChangeState::remove(&failure);
    bool expired = false;
    {
        QMutexLocker lock(&m_mutex);
        if (removed) {
            m_phase = Phase::Kept;
        } else {
            // The deadline may have passed while the keep was being made: it is undone then.
            expired = m_deadline.hasExpired();
            m_phase = expired ? Phase::RollingBack : Phase::Waiting;
        }
    }
    if (removed) {
        daemonLog(QStringLiteral("Network change %1 (%2) confirmed and kept").arg(id, command), 1);
        return Answer::Done;
    }
    daemonLog(
        QStringLiteral("Network change %1 (%2) cannot be kept: %3; it still waits for confirmation")
            .arg(id, command, failure),
        0);
    if (expired) {
        noteRollingBack(QStringLiteral("not confirmed in time"));
        m_mailbox->post(new RollbackEvent(serial));
    }
    if (why) *why = failure;
    return Answer::CannotKeep;
}

void NetworkChange::noteRollingBack(const QString& reason) {
    Plan plan;
    QString id;
    {
        QMutexLocker lock(&m_mutex);
        plan = m_plan;
        id = m_id;
    }
    QString why;
    if (!NetworkChangeState::write(
            {id, plan, Phase::RollingBack, QDateTime::currentMSecsSinceEpoch()}, &why)) {
        daemonLog(QStringLiteral("Network change %1: cannot note that it is being undone (%2): %3")
                      .arg(id, reason, why),
                  0);
    }
}

void NetworkChange::customEvent(QEvent* event) {
    switch (static_cast<int>(event->type())) {
        case StartEvent::EventType:
            start_i(static_cast<StartEvent*>(event)->serial());
            break;
        case RollbackEvent::EventType:
            rollback_i(static_cast<RollbackEvent*>(event)->serial(),
                       QStringLiteral("undone on request"), true);
            break;
        default:
            break;
    }
}

void NetworkChange::runScript(quint64 serial, bool undoing) {
    Plan plan;
    int limitMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        plan = m_plan;
        limitMs = m_scriptLimitMs;
    }
    // A passphrase (the undo's read from the files) shows in no log line, the script's own
    // output included.
    const QStringList& args = undoing ? plan.undoArgs : plan.args;
    const NetworkScript* command = NetworkScript::find(plan.command);
    if (command && command->secretLast && !args.isEmpty()) {
        kel::corvanta::daemons::Log::singleton()->addSecret(args.last());
    }
    m_limitHit = false;
    QPointer<NetworkChange> self(this);
    m_runner.runScript(plan.script, undoing ? plan.undoArgs : plan.args,
                       [self, serial, undoing](int exitCode, int) {
                           if (self) self->scriptEnded(serial, undoing, exitCode);
                       });
    m_timerFor = TimerFor::ScriptLimit;
    m_timerSerial = serial;
    m_timer->start(limitMs);
}

void NetworkChange::start_i(quint64 serial) {
    {
        QMutexLocker lock(&m_mutex);
        if (serial != m_serial || m_phase != Phase::Running) return;
    }
    runScript(serial, false);
}

void NetworkChange::rollback_i(quint64 serial, const QString& reason, bool noted) {
    {
        QMutexLocker lock(&m_mutex);
        if (serial != m_serial || m_phase != Phase::RollingBack) return;
    }
    // Noted before the script runs: an undo cut short is done again at the next start.
    if (!noted) noteRollingBack(reason);
    m_rollbackReason = reason;
    m_undoAtDeadline = false;
    runScript(serial, true);
}

void NetworkChange::timedOut() {
    const TimerFor what = m_timerFor;
    m_timerFor = TimerFor::Nothing;
    if (what == TimerFor::ScriptLimit) {
        // The script's end (through the kill) takes the change on from here.
        m_limitHit = true;
        QString script;
        {
            QMutexLocker lock(&m_mutex);
            if (m_timerSerial != m_serial) return;
            script = m_plan.script;
        }
        daemonLog(QStringLiteral("Network change: %1 still runs after %2 s and is killed")
                      .arg(script)
                      .arg(kScriptLimitMs / 1000),
                  1);
        m_runner.killTree(script);
        return;
    }
    if (what != TimerFor::Deadline) return;
    {
        QMutexLocker lock(&m_mutex);
        if (m_timerSerial != m_serial || m_phase != Phase::Waiting) return;
        m_phase = Phase::RollingBack;
    }
    rollback_i(m_timerSerial, QStringLiteral("not confirmed in time"));
    m_undoAtDeadline = true;
}

void NetworkChange::scriptEnded(quint64 serial, bool undoing, int exitCode) {
    Plan plan;
    QString id;
    int secondMs = 1000;
    QDeadlineTimer deadlinePassed;
    {
        QMutexLocker lock(&m_mutex);
        if (serial != m_serial) return;
        if (m_phase != (undoing ? Phase::RollingBack : Phase::Running)) return;
        plan = m_plan;
        id = m_id;
        secondMs = m_secondMs;
        deadlinePassed = m_deadline;
    }
    m_timer->stop();
    m_timerFor = TimerFor::Nothing;
    if (!undoing) {
        if (m_limitHit) {
            {
                QMutexLocker lock(&m_mutex);
                m_phase = Phase::RollingBack;
            }
            rollback_i(serial, QStringLiteral("its script ran too long"));
            return;
        }
        // The time to confirm counts from the script's end.
        const qint64 confirmMs = qint64(plan.confirmWithin) * secondMs;
        const QDeadlineTimer deadline(confirmMs);
        QString why;
        if (!NetworkChangeState::write(
                {id, plan, Phase::Waiting, QDateTime::currentMSecsSinceEpoch() + confirmMs},
                &why)) {
            daemonLog(
                QStringLiteral("Network change %1: cannot keep its deadline: %2").arg(id, why), 0);
        }
        {
            QMutexLocker lock(&m_mutex);
            m_phase = Phase::Waiting;
            m_deadline = deadline;
        }
        daemonLog(QStringLiteral("Network change %1 (%2): script ended with %3; waiting %4 s for "
                                 "confirmation")
                      .arg(id, plan.command)
                      .arg(exitCode)
                      .arg(plan.confirmWithin),
                  1);
        m_timerFor = TimerFor::Deadline;
        m_timerSerial = serial;
        m_timer->start(static_cast<int>(qMax<qint64>(0, deadline.remainingTime())));
        return;
    }
    // The earlier settings are applied again; now the files become what they were.
    QStringList failed;
    for (const NetworkUndo::FileSnapshot& file : plan.files) {
        QString why;
        if (!NetworkUndo::restore(file, &why)) failed << why;
    }
    NetworkChangeState::remove();
    {
        QMutexLocker lock(&m_mutex);
        m_phase = Phase::RolledBack;
    }
    m_rollbacks.fetch_add(1, std::memory_order_relaxed);
    QString late;
    if (m_undoAtDeadline) {
        const qint64 ms =
            (QDeadlineTimer::current().deadlineNSecs() - deadlinePassed.deadlineNSecs()) / 1000000;
        late = QStringLiteral(", %1 ms after its deadline").arg(ms);
    }
    daemonLog(QStringLiteral("Network change %1 (%2) %3: ran %4 with the earlier settings "
                             "(exit code %5) and put back %6%7")
                  .arg(id, plan.command, m_rollbackReason, plan.script)
                  .arg(exitCode)
                  .arg(joinedPaths(plan.files), late),
              1);
    for (const QString& why : failed) {
        daemonLog(QStringLiteral("Network change %1: cannot put back %2").arg(id, why), 0);
    }
}

void NetworkChange::resume() {
    // Temporary files of a restore or of the state cut short by the end of the last run: the
    // WLAN file's hold passphrases.
    QStringList networkFiles;
    for (const NetworkFile file : NetworkConfigFiles::kAll)
        networkFiles << NetworkConfigFiles::path(file);
    const QStringList removedFiles =
        NetworkUndo::removeLeftovers(networkFiles) +
        NetworkUndo::removeLeftovers({NetworkChangeState::path()}, false);
    for (const QString& removed : removedFiles) {
        daemonLog(
            QStringLiteral("Network change: removed %1, left by a write cut short").arg(removed),
            1);
    }
    NetworkChangeState::Saved saved;
    if (!NetworkChangeState::read(&saved)) return;
    const QString& id = saved.id;
    const Plan& plan = saved.plan;
    quint64 serial = 0;
    qint64 leftMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        serial = ++m_serial;
        m_id = id;
        m_plan = plan;
        leftMs = saved.deadlineMs - QDateTime::currentMSecsSinceEpoch();
        // A clock that was behind at boot must not stretch the time to confirm.
        leftMs = qMin(leftMs, qint64(plan.confirmWithin) * m_secondMs);
        // A script cut short by the end of the last run left the change half made; an undo
        // cut short is done again to its end.
        if (saved.phase != Phase::Waiting) leftMs = 0;
        if (leftMs > 0) {
            m_phase = Phase::Waiting;
            m_deadline = QDeadlineTimer(leftMs);
        } else {
            m_phase = Phase::RollingBack;
        }
    }
    if (saved.phase == Phase::RollingBack) {
        daemonLog(
            QStringLiteral("Network change %1 (%2) was being undone when the daemon ended; it is "
                           "undone again")
                .arg(id, plan.command),
            1);
        rollback_i(serial, QStringLiteral("undone again after the restart"), true);
        return;
    }
    if (leftMs <= 0) {
        daemonLog(
            QStringLiteral("Network change %1 (%2) from before the restart is past its deadline")
                .arg(id, plan.command),
            1);
        rollback_i(serial, QStringLiteral("not confirmed before the restart"));
        return;
    }
    daemonLog(QStringLiteral("Network change %1 (%2) from before the restart waits %3 ms more for "
                             "confirmation")
                  .arg(id, plan.command)
                  .arg(leftMs),
              1);
    m_timerFor = TimerFor::Deadline;
    m_timerSerial = serial;
    m_timer->start(static_cast<int>(leftMs));
}
