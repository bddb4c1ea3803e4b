#include "process/ScriptRunner.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <csignal>

#include "service/Client.h"
#include "kel/corvanta/daemons/EventMailbox.h"
#include "kel/corvanta/daemons/Log.h"
#include "process/SessionProcess.h"
#include "process/TreeKill.h"
#include "base/DaemonLog.h"

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>
#else
#include <QTextCodec>
#endif

using kel::corvanta::daemons::EventMailbox;
using kel::corvanta::daemons::Log;

namespace {

QString configured(const char* key, const char* fallback) {
    const QString defaultValue = QString::fromLatin1(fallback);
    if (!Client::exists()) return defaultValue;
    return Client::singleton()->getParameter(QString::fromLatin1(key), defaultValue).toString();
}

QString interpreterPath() {
    return configured("~/Flowdesk/path", "/usr/local/Flowdesk2/bin/flowdesk2_interpreter");
}

// How long the runner's destructor waits in all for programs to end after SIGTERM, and then
// after SIGKILL: it runs on the main thread at shutdown.
constexpr int kShutdownTermMs = 1500;
constexpr int kShutdownKillMs = 1000;

}  // namespace

/// One started process with what outlives its map entry: its name, its finished callback and
/// the decoder that carries a character split between two reads over to the next.
struct ScriptRunner::Run {
    QString name;
    QProcess* process = nullptr;
    FinishedCallback onFinished;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QStringDecoder decoder{QStringDecoder::Utf8};
    QString decode(const QByteArray& bytes) { return decoder.decode(bytes); }
#else
    std::unique_ptr<QTextDecoder> decoder{QTextCodec::codecForName("UTF-8")->makeDecoder()};
    QString decode(const QByteArray& bytes) { return decoder->toUnicode(bytes); }
#endif
};

ScriptRunner* ScriptRunner::s_impl = nullptr;

void ScriptRunner::init() {
    Q_ASSERT_X(nullptr == s_impl, "ScriptRunner::init", "NULL == _impl");
    s_impl = new ScriptRunner();
}

void ScriptRunner::done() {
    delete s_impl;
    s_impl = nullptr;
}

ScriptRunner* ScriptRunner::singleton() {
    Q_ASSERT_X(s_impl, "ScriptRunner::singleton", "_impl");
    return s_impl;
}

ScriptRunner::ScriptRunner() : m_mailbox(new EventMailbox(this)), m_reaper(new QTimer(this)) {
    connect(m_reaper, &QTimer::timeout, this, &ScriptRunner::reap);
    m_reaper->setInterval(kReapMs);
}

void ScriptRunner::endAll() {
    // Kills in progress stop here; their helpers are ended below with everything else.
    for (TreeKill* kill : m_kills) delete kill;
    m_kills.clear();
    m_pending.clear();

    // Every program still running ends with its whole tree: SIGTERM to the descendants (deepest
    // first) and the root, SIGKILL to what is left, each wait bounded. The destructor runs on the
    // main thread, and QProcess's own destructor would wait 30 s for each.
    const QList<QProcess*> processes =
        findChildren<QProcess*>(QString(), Qt::FindDirectChildrenOnly);
    QList<TreeKill::Process> tree;
    // What the runs still running and every robot program left outside their trees goes too,
    // now and once more before SIGKILL; an ended script's leftovers (a network service) stay.
    QList<qint64> sessions;
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
        for (const Session& session : it.value()) {
            if (session.program && session.isCurrent()) sessions.append(session.id);
        }
    }
    for (QProcess* process : processes) {
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning) continue;
        if (m_runs.contains(process)) {
            tree += TreeKill::descendantsNow(process->processId());
            sessions.append(process->processId());
        } else {
            process->kill();  // a helper
        }
    }
    const auto addStrays = [&tree, &sessions]() {
        QList<TreeKill::Process> added;
        for (const TreeKill::Process& stray : TreeKill::strays(sessions)) {
            const auto same = [&stray](const TreeKill::Process& p) { return p.pid == stray.pid; };
            if (std::any_of(tree.cbegin(), tree.cend(), same)) continue;
            tree.append(stray);
            added.append(stray);
        }
        return added;
    };
    addStrays();
    TreeKill::signalNow(tree, SIGTERM, kShutdownKillMs);
    for (QProcess* process : processes) {
        if (process->state() != QProcess::NotRunning && m_runs.contains(process))
            process->terminate();
    }
    for (int limit : {kShutdownTermMs, kShutdownKillMs}) {
        QDeadlineTimer deadline(limit);
        for (QProcess* process : processes) {
            if (process->state() == QProcess::NotRunning) continue;
            process->waitForFinished(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
        }
        QList<TreeKill::Process> left;
        for (;;) {
            left.clear();
            for (const TreeKill::Process& member : tree) {
                if (member.runs()) left.append(member);
            }
            if (left.isEmpty() || deadline.hasExpired()) break;
            QThread::msleep(10);
        }
        left += addStrays();
        bool anyLeft = !left.isEmpty();
        for (QProcess* process : processes) {
            if (process->state() == QProcess::NotRunning) continue;
            anyLeft = true;
            process->kill();
        }
        if (!anyLeft) break;
        TreeKill::signalNow(left, SIGKILL, kShutdownKillMs);
    }
    // The ended runs are never reported now; what their callbacks hold (a program's private
    // copy) goes here, also when the daemon exits without destroying the runner.
    for (Run* run : m_runs) run->onFinished = FinishedCallback();
}

ScriptRunner::~ScriptRunner() {
    endAll();
    qDeleteAll(m_runs);
    m_runs.clear();
    m_processes.clear();
}

void ScriptRunner::runScript(const QString& name, const QStringList& args,
                             FinishedCallback onFinished) {
    m_mailbox->post(new RunScriptNoWaitEvent(name, args, std::move(onFinished)));
}

void ScriptRunner::killTree(const QString& name) { m_mailbox->post(new KillTreeEvent(name)); }

int ScriptRunner::runningCount() const {
    QMutexLocker lock(&m_mutex);
    int running = 0;
    for (const ProcessInfo& info : m_records) {
        if (info.state == QProcess::Running) ++running;
    }
    return running;
}

ScriptRunner::ProcessInfo ScriptRunner::processInfo(const QString& name) const {
    QMutexLocker lock(&m_mutex);
    return m_records.value(name);
}

QString ScriptRunner::getProcessOutput() {
    QMutexLocker lock(&m_mutex);
    QString output;
    output.swap(m_output);
    return output;
}

void ScriptRunner::deliverPending() { m_mailbox->deliverPending(); }

void ScriptRunner::customEvent(QEvent* event) {
    switch (static_cast<int>(event->type())) {
        case RunScriptNoWaitEvent::EventType: {
            const auto* e = static_cast<RunScriptNoWaitEvent*>(event);
            runScript_i(e->name(), e->args(), e->onFinished());
            break;
        }
        case KillTreeEvent::EventType:
            killTree_i(static_cast<KillTreeEvent*>(event)->name());
            break;
        default:
            break;
    }
}

void ScriptRunner::runScript_i(const QString& name, const QStringList& args,
                               FinishedCallback onFinished) {
    // The old program under this name is taken off the map and killed; the new one starts once
    // that kill has finished, so that the two never run side by side.
    if (Run* old = m_processes.take(name)) {
        if (old->process->state() == QProcess::NotRunning) {
            discardRun(old);  // it never started: there is nothing to kill
        } else {
            killTree(old->process, name);
        }
    }
    if (m_kills.contains(name)) {
        cancelPending(name);
        m_pending.insert(name, PendingStart{args, std::move(onFinished)});
        ProcessInfo waiting;
        waiting.registered = true;
        waiting.state = QProcess::Starting;
        setRecord(name, waiting);
        return;
    }
    auto* run = new Run;
    run->name = name;
    run->process = new SessionProcess(this);
    run->onFinished = std::move(onFinished);
    m_runs.insert(run->process, run);
    m_processes.insert(name, run);
    startProcess(run, args);
}

void ScriptRunner::killTree_i(const QString& name) {
    // A stop also drops a start that was waiting for an earlier kill.
    if (m_pending.contains(name)) {
        daemonLog(QStringLiteral("ScriptRunner: start of %1 cancelled").arg(name), 2);
        cancelPending(name);
        removeRecord(name);
    }
    if (m_kills.contains(name)) return;
    Run* run = m_processes.value(name);
    killTree(run ? run->process : nullptr, name);
}

void ScriptRunner::killTree(QProcess* process, const QString& name) {
    if (m_kills.contains(name)) return;  // that kill ends this process's tree as well
    TreeKill* kill = nullptr;
    if (process) {
        kill = new TreeKill(process, sessionsOf(name), kGraceMs, kHelperTimeoutMs, this, this);
    } else {
        const QString interpreter = interpreterPath();
        // Only a stop of the interpreter may end interpreters that are not registered: a script
        // that has already ended is no reason to end the robot's program.
        if (name != interpreter) {
            daemonLog(QStringLiteral("killtree: nothing runs under ") + name, 2);
            return;
        }
        // The full path selects only processes running that file.
        kill = new TreeKill(interpreter, sessionsOf(name), kGraceMs, kHelperTimeoutMs, this, this);
    }
    m_kills.insert(name, kill);
    connect(kill, &TreeKill::finished, this, [this, name]() { onKillFinished(name); });
    kill->start();
}

void ScriptRunner::onKillFinished(const QString& name) {
    TreeKill* kill = m_kills.take(name);
    if (kill) kill->deleteLater();
    reap();
    if (!m_pending.contains(name)) return;
    PendingStart pending = m_pending.take(name);
    runScript_i(name, pending.args, std::move(pending.onFinished));
}

void ScriptRunner::cancelPending(const QString& name) {
    if (!m_pending.contains(name)) return;
    PendingStart dropped = m_pending.take(name);
    if (dropped.onFinished) dropped.onFinished(-1, -1);
}

void ScriptRunner::startProcess(Run* run, const QStringList& args) {
    QProcess* process = run->process;
    daemonLog(QStringLiteral(" ScriptRunner::startProcess %1 %2")
            .arg(run->name, args.join(QLatin1Char(' '))),
        5);
    process->setProcessChannelMode(QProcess::MergedChannels);
    bool ok = static_cast<bool>(
        connect(process, &QProcess::readyRead, this, &ScriptRunner::on_process_readyRead));
    ok = connect(process, &QProcess::started, this, &ScriptRunner::on_process_started) && ok;
    ok = connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
                 &ScriptRunner::on_process_finished) &&
         ok;
    ok = connect(process, &QProcess::errorOccurred, this, &ScriptRunner::on_process_error) && ok;
    ok = connect(process, &QProcess::stateChanged, this, &ScriptRunner::on_process_stateChanged) &&
         ok;
    Q_ASSERT(ok);
    (void)ok;
    ProcessInfo starting;
    starting.registered = true;
    starting.state = QProcess::Starting;
    starting.exitCode = 0;
    starting.exitStatus = QProcess::NormalExit;
    setRecord(run->name, starting);
    const QString sudo = configured("~/Scripts/sudo", "/usr/bin/sudo");
    process->start(sudo, QStringList{run->name} + args, QIODevice::ReadWrite);
    if (!m_reaper->isActive()) m_reaper->start();
    const qint64 pid = process->processId();
    const qint64 start = pid > 1 ? TreeKill::startTimeOf(pid) : -1;
    if (start < 0) return;
    // The number is this run's now: an earlier session of that number has ended.
    for (QList<Session>& sessions : m_sessions) {
        sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                      [pid](const Session& s) { return s.id == pid; }),
                       sessions.end());
    }
    m_sessions[run->name].append({pid, start, run->name == interpreterPath()});
}

QList<qint64> ScriptRunner::sessionsOf(const QString& name) const {
    QList<qint64> ids;
    for (const Session& session : m_sessions.value(name)) {
        if (session.isCurrent()) ids.append(session.id);
    }
    return ids;
}

bool ScriptRunner::Session::isCurrent() const {
    // A leader of that number started later opened a session of its own after this one ended.
    const qint64 start = TreeKill::startTimeOf(id);
    return start < 0 || start == leaderStart;
}

QSet<qint64> ScriptRunner::startedPids() const {
    QSet<qint64> pids;
    for (QProcess* process : findChildren<QProcess*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (process->processId() > 0) pids.insert(process->processId());
    }
    return pids;
}

void ScriptRunner::reap() {
    const QSet<qint64> started = startedPids();
    const QSet<qint64> adopted = TreeKill::reapAdopted(started);
    // A session is remembered while its program or an adopted process of it runs: its number
    // goes to no other process before then.
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        QList<Session>& sessions = it.value();
        sessions.erase(std::remove_if(sessions.begin(), sessions.end(),
                                      [&](const Session& s) {
                                          return !s.isCurrent() || (!started.contains(s.id) &&
                                                                    !adopted.contains(s.id));
                                      }),
                       sessions.end());
        it = sessions.isEmpty() ? m_sessions.erase(it) : std::next(it);
    }
    if (m_runs.isEmpty() && m_sessions.isEmpty() && adopted.isEmpty()) m_reaper->stop();
}

ScriptRunner::Run* ScriptRunner::runOf(QObject* sender) const {
    return m_runs.value(qobject_cast<QProcess*>(sender));
}

void ScriptRunner::on_process_readyRead() {
    Run* run = runOf(sender());
    if (!run) return;
    QByteArray bytes = run->process->readAll();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0) bytes.truncate(nul);
    const QString text = run->decode(bytes);
    if (text.isEmpty()) return;
    appendOutput(text);
    daemonLog(text, 6);
}

void ScriptRunner::appendOutput(const QString& text) {
    qsizetype dropped = 0;
    {
        QMutexLocker lock(&m_mutex);
        m_output.append(text);
        if (m_output.size() > kMaxOutputChars) {
            dropped = m_output.size() - kMaxOutputChars;
            // Never split a surrogate pair.
            if (dropped < m_output.size() && m_output.at(dropped).isLowSurrogate()) ++dropped;
            m_output.remove(0, dropped);
        }
    }
    if (dropped > 0) {
        daemonLog(QStringLiteral("ScriptRunner: output buffer full, %1 characters of old output dropped")
                .arg(dropped),
            1);
    }
}

void ScriptRunner::on_process_started() {
    Run* run = runOf(sender());
    if (!run) return;
    daemonLog(run->name + QStringLiteral(" : started"), 2);
}

void ScriptRunner::on_process_stateChanged(QProcess::ProcessState state) {
    Run* run = runOf(sender());
    // The end is recorded by the finished and error slots, in one step with the rest.
    if (!run || m_processes.value(run->name) != run || state == QProcess::NotRunning) return;
    ProcessInfo info = processInfo(run->name);
    info.state = state;
    setRecord(run->name, info);
}

void ScriptRunner::on_process_error(QProcess::ProcessError error) {
    Run* run = runOf(sender());
    if (!run) return;
    daemonLog(QStringLiteral("ScriptRunner::on_process_error %1 : error = %2")
            .arg(run->name)
            .arg(static_cast<int>(error)),
        0);
    if (error != QProcess::FailedToStart) return;
    // A process that never started stays registered in state 0 until it is replaced.
    if (m_processes.value(run->name) == run) {
        ProcessInfo info = processInfo(run->name);
        info.state = QProcess::NotRunning;
        info.exitCode = -1;
        info.exitStatus = -1;
        setRecord(run->name, info);
    }
    if (run->onFinished) {
        FinishedCallback callback = std::move(run->onFinished);
        run->onFinished = FinishedCallback();
        callback(-1, -1);
    }
}

void ScriptRunner::on_process_finished(int exitCode, QProcess::ExitStatus exitStatus) {
    Run* run = runOf(sender());
    if (!run) return;
    daemonLog(QStringLiteral("ScriptRunner::on_process_finished %1 : exitcode = %2")
            .arg(run->name)
            .arg(exitCode),
        2);
    finishRun(run, exitCode, static_cast<int>(exitStatus));
}

void ScriptRunner::finishRun(Run* run, int exitCode, int exitStatus) {
    if (m_processes.value(run->name) == run) {
        m_processes.remove(run->name);
        // A start waiting under the same name keeps its record.
        if (!m_pending.contains(run->name)) removeRecord(run->name);
    }
    m_runs.remove(run->process);
    run->process->deleteLater();
    FinishedCallback callback = std::move(run->onFinished);
    delete run;
    if (callback) callback(exitCode, exitStatus);
}

void ScriptRunner::discardRun(Run* run) {
    m_runs.remove(run->process);
    run->process->disconnect(this);
    run->process->deleteLater();
    delete run;
}

void ScriptRunner::setRecord(const QString& name, const ProcessInfo& info) {
    QMutexLocker lock(&m_mutex);
    m_records.insert(name, info);
}

void ScriptRunner::removeRecord(const QString& name) {
    QMutexLocker lock(&m_mutex);
    m_records.remove(name);
}
