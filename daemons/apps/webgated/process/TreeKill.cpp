#include "process/TreeKill.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTimer>
#include <cerrno>
#include <functional>
#include <memory>

#include "kel/corvanta/daemons/Log.h"
#include "base/DaemonLog.h"

using kel::corvanta::daemons::Log;

namespace {

constexpr int kPollMs = 20;

// What the kill and the reaper go by in /proc/<pid>/stat.
struct Stat {
    qint64 pid = 0;
    qint64 ppid = 0;
    qint64 sid = 0;
    qint64 startTime = -1;  // -1 for a zombie
    bool zombie = false;
};

bool readStat(qint64 pid, Stat& stat) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray text = file.readAll();
    // The command name in parentheses may hold blanks: the fields start after the last ")".
    const int close = text.lastIndexOf(')');
    if (close < 0) return false;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // fields[0] is the state (field 3), [1] the parent, [3] the session, [19] the start time.
    if (fields.size() < 20) return false;
    bool ok = false;
    stat.pid = pid;
    stat.ppid = fields[1].toLongLong(&ok);
    if (!ok) return false;
    stat.sid = fields[3].toLongLong(&ok);
    if (!ok) return false;
    stat.zombie = fields[0] == "Z" || fields[0] == "X";
    stat.startTime = stat.zombie ? -1 : fields[19].toLongLong(&ok);
    return ok;
}

QList<Stat> processesNow() {
    QList<Stat> result;
    const QStringList entries =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        Stat stat;
        if (isPid && readStat(pid, stat)) result.append(stat);
    }
    return result;
}

// The daemon's children from the lists its threads keep, or from all of /proc without them.
QList<qint64> childrenNow() {
    QList<qint64> result;
    bool listed = false;
    const QStringList tasks =
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        QFile file(QStringLiteral("/proc/self/task/%1/children").arg(task));
        if (!file.open(QIODevice::ReadOnly)) continue;
        listed = true;
        for (const QByteArray& part : file.readAll().split(' ')) {
            bool ok = false;
            const qint64 pid = part.trimmed().toLongLong(&ok);
            if (ok) result.append(pid);
        }
    }
    if (listed) return result;
    const qint64 self = ::getpid();
    for (const Stat& stat : processesNow()) {
        if (stat.ppid == self) result.append(stat.pid);
    }
    return result;
}

}  // namespace

TreeKill::TreeKill(QProcess* root, const QList<qint64>& sessions, int graceMs, int helperTimeoutMs,
                   QObject* helperParent, QObject* parent)
    : QObject(parent),
      m_root(root),
      m_rootPid(root ? root->processId() : 0),
      m_sessions(sessions),
      m_graceMs(graceMs),
      m_helperTimeoutMs(helperTimeoutMs),
      m_helperParent(helperParent) {}

TreeKill::TreeKill(const QString& program, const QList<qint64>& sessions, int graceMs,
                   int helperTimeoutMs, QObject* helperParent, QObject* parent)
    : QObject(parent),
      m_killallProgram(program),
      m_sessions(sessions),
      m_graceMs(graceMs),
      m_helperTimeoutMs(helperTimeoutMs),
      m_helperParent(helperParent) {}

qint64 TreeKill::startTimeOf(qint64 pid) {
    Stat stat;
    return readStat(pid, stat) ? stat.startTime : -1;
}

QList<TreeKill::Process> TreeKill::descendantsNow(qint64 pid) {
    QHash<qint64, QList<qint64>> children;
    for (const Stat& stat : processesNow()) children[stat.ppid].append(stat.pid);
    QList<Process> result;
    std::function<void(qint64)> walk = [&](qint64 parent) {
        for (qint64 child : children.value(parent)) {
            if (child <= 1) continue;
            walk(child);
            result.append({child, startTimeOf(child)});
        }
    };
    if (pid > 1) walk(pid);
    return result;
}

QList<TreeKill::Process> TreeKill::strays(const QList<qint64>& sessions) {
    QList<Process> result;
    if (sessions.isEmpty()) return result;
    // Only the daemon's adopted children (it is their subreaper) in one of the sessions, with
    // their descendants: a process starts in its parent's session, so only the descendants of
    // the program that opened it can be in it; one that opens a session of its own (a daemon)
    // is not told apart from the services the network scripts start, and is left alone like
    // them. Nothing outside the daemon's own subtree is ever a stray.
    const qint64 self = ::getpid();
    const qint64 own = ::getsid(0);
    const QList<Stat> all = processesNow();
    QHash<qint64, QList<const Stat*>> children;
    for (const Stat& stat : all) children[stat.ppid].append(&stat);
    QSet<qint64> seen;
    std::function<void(const Stat&)> take = [&](const Stat& process) {
        seen.insert(process.pid);
        for (const Stat* child : children.value(process.pid)) {
            if (child->pid > 1 && !seen.contains(child->pid)) take(*child);
        }
        if (!process.zombie) result.append({process.pid, process.startTime});
    };
    for (const Stat& stat : all) {
        if (stat.ppid != self || stat.zombie || stat.pid == stat.sid || stat.sid == own ||
            !sessions.contains(stat.sid) || seen.contains(stat.pid)) {
            continue;
        }
        take(stat);
    }
    return result;
}

QSet<qint64> TreeKill::reapAdopted(const QSet<qint64>& started) {
    QSet<qint64> running;
    const qint64 self = ::getpid();
    const qint64 own = ::getsid(0);
    for (qint64 pid : childrenNow()) {
        Stat stat;
        if (!readStat(pid, stat) || stat.ppid != self) continue;
        // What the daemon forks itself keeps its session or opens one as a program it started:
        // whoever waits for those is never robbed of their status.
        if (stat.sid == own || started.contains(pid)) continue;
        if (stat.zombie) {
            ::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);
        } else {
            running.insert(stat.sid);
        }
    }
    return running;
}

void TreeKill::signalNow(const QList<Process>& processes, int signal, int timeoutMs) {
    QStringList refused;
    for (const Process& process : processes) {
        if (!process.runs()) continue;
        if (::kill(static_cast<pid_t>(process.pid), signal) != 0 && errno == EPERM) {
            refused.append(QString::number(process.pid));
        }
    }
    if (refused.isEmpty()) return;
    QProcess sudo;
    sudo.start(QStringLiteral("sudo"),
               QStringList{QStringLiteral("kill"), QStringLiteral("-%1").arg(signal)} + refused,
               QIODevice::ReadOnly);
    if (!sudo.waitForFinished(timeoutMs)) {
        daemonLog(QStringLiteral("killtree: sudo kill did not end within %1 ms").arg(timeoutMs), 0);
        sudo.kill();
        sudo.waitForFinished(100);
    }
}

void TreeKill::start() {
    if (!m_killallProgram.isEmpty()) {
        daemonLog(QStringLiteral("killtree: sudo killall ") + m_killallProgram, 2);
        runStep(QStringLiteral("sudo"), {QStringLiteral("killall"), m_killallProgram},
                [this](bool, const QByteArray&) { treeSignalled(); });
        return;
    }
    // A process that never ran has no tree; pid 0 and 1 are never walked.
    if (m_rootPid <= 1) {
        treeSignalled();
        return;
    }
    m_members.append({m_rootPid, startTimeOf(m_rootPid)});
    m_stack.append({m_rootPid, {}, 0});
    listChildren(m_rootPid);
}

void TreeKill::runStep(const QString& program, const QStringList& args, StepDone done) {
    auto* process = new QProcess(m_helperParent);
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    auto answered = std::make_shared<bool>(false);
    // The helper is released only once it has ended: deleting a running QProcess waits for it.
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), process,
            &QObject::deleteLater);
    connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) process->deleteLater();
    });
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [=](int, QProcess::ExitStatus) {
                if (*answered) return;
                *answered = true;
                timer->deleteLater();
                done(true, process->readAllStandardOutput());
            });
    connect(process, &QProcess::errorOccurred, this, [=](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || *answered) return;
        *answered = true;
        timer->deleteLater();
        daemonLog(QStringLiteral("killtree: cannot start ") + program, 0);
        done(false, QByteArray());
    });
    connect(timer, &QTimer::timeout, this, [=]() {
        if (*answered) return;
        *answered = true;
        timer->deleteLater();
        daemonLog(QStringLiteral("killtree: %1 %2 did not end within %3 ms")
                .arg(program, args.join(QLatin1Char(' ')))
                .arg(m_helperTimeoutMs),
            0);
        process->kill();
        done(false, QByteArray());
    });
    timer->start(m_helperTimeoutMs);
    process->start(program, args, QIODevice::ReadOnly);
}

void TreeKill::listChildren(qint64 pid) {
    runStep(QStringLiteral("/bin/ps"),
            {QStringLiteral("--ppid"), QString::number(pid), QStringLiteral("-o"),
             QStringLiteral("pid"), QStringLiteral("--noheaders")},
            [this](bool ok, const QByteArray& output) {
                if (!ok) {
                    // Without the list nothing is signalled at this level.
                    m_stack.removeLast();
                    advance();
                    return;
                }
                Level& level = m_stack.last();
                const QStringList parts =
                    QString::fromLocal8Bit(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                for (const QString& part : parts) {
                    bool isNumber = false;
                    const qint64 child = part.trimmed().toLongLong(&isNumber);
                    if (!isNumber || child <= 1) continue;
                    bool seen = false;
                    for (const Process& member : m_members) seen = seen || member.pid == child;
                    if (seen) continue;
                    level.children.append(child);
                    m_members.append({child, startTimeOf(child)});
                }
                advance();
            });
    daemonLog(QStringLiteral("killtree:") + QString::number(pid), 0);
}

void TreeKill::advance() {
    if (m_stack.isEmpty()) {
        treeSignalled();
        return;
    }
    Level& level = m_stack.last();
    if (level.next < level.children.size()) {
        const qint64 child = level.children.at(level.next++);
        m_stack.append({child, {}, 0});
        listChildren(child);
        return;
    }
    const qint64 pid = level.pid;
    daemonLog(QStringLiteral("!kill in killtree: %1").arg(pid), 0);
    runStep(QStringLiteral("sudo"),
            {QStringLiteral("bash"), QStringLiteral("-c"),
             QStringLiteral("pkill -TERM -P ") + QString::number(pid)},
            [this](bool, const QByteArray&) {
                m_stack.removeLast();
                advance();
            });
}

void TreeKill::treeSignalled() {
    signalStrays(SIGTERM);
    // The root last: the sudo program may run the program directly, with nothing in between
    // that would end once its children are gone.
    if (m_root && m_root->state() != QProcess::NotRunning) {
        daemonLog(QStringLiteral("killtree: SIGTERM to %1").arg(m_rootPid), 2);
        m_root->terminate();
    }
    m_poll = new QTimer(this);
    connect(m_poll, &QTimer::timeout, this, &TreeKill::poll);
    m_poll->start(kPollMs);
    m_grace = new QTimer(this);
    m_grace->setSingleShot(true);
    connect(m_grace, &QTimer::timeout, this, &TreeKill::graceOver);
    m_grace->start(m_graceMs);
    poll();
}

QList<qint64> TreeKill::survivors() const {
    QList<qint64> alive;
    for (const Process& member : m_members) {
        // The same pid with another start time is a new process that merely reuses the number.
        if (member.startTime >= 0 && startTimeOf(member.pid) == member.startTime) {
            alive.append(member.pid);
        }
    }
    return alive;
}

bool TreeKill::addMember(const Process& process) {
    for (const Process& member : m_members) {
        if (member.pid == process.pid && member.startTime == process.startTime) return false;
    }
    m_members.append(process);
    return true;
}

bool TreeKill::signalStrays(int signal) {
    QStringList pids;
    QStringList refused;
    for (const Process& stray : strays(m_sessions)) {
        if (!addMember(stray)) continue;
        pids.append(QString::number(stray.pid));
        if (::kill(static_cast<pid_t>(stray.pid), signal) != 0 && errno == EPERM) {
            refused.append(pids.last());
        }
    }
    if (pids.isEmpty()) return false;
    daemonLog(QStringLiteral("killtree: signal %1 to what the program left outside its tree: %2")
            .arg(signal)
            .arg(pids.join(QLatin1Char(' '))),
        2);
    // Processes running as root get it through the same sudo as the rest of the tree.
    if (!refused.isEmpty()) {
        runStep(QStringLiteral("sudo"),
                QStringList{QStringLiteral("kill"), QStringLiteral("-%1").arg(signal)} + refused,
                [](bool, const QByteArray&) {});
    }
    return true;
}

void TreeKill::poll() {
    if (m_finished) return;
    // The tree's end may have left more of the program outside it: those go before it is done.
    if (survivors().isEmpty() && !signalStrays(m_killSent ? SIGKILL : SIGTERM)) finish();
}

void TreeKill::graceOver() {
    if (m_finished) return;
    const QList<qint64> alive = survivors();
    // Children started since the walk go too: the tree as it is now, from every survivor, and
    // what the program left outside it.
    QList<qint64> targets = alive;
    for (qint64 pid : alive) {
        for (const Process& late : descendantsNow(pid)) {
            if (targets.contains(late.pid)) continue;
            targets.append(late.pid);
            addMember(late);
        }
    }
    for (const Process& stray : strays(m_sessions)) {
        if (targets.contains(stray.pid)) continue;
        targets.append(stray.pid);
        addMember(stray);
    }
    if (targets.isEmpty()) {
        finish();
        return;
    }
    if (m_killSent) {
        QStringList pids;
        for (qint64 pid : targets) pids.append(QString::number(pid));
        daemonLog(QStringLiteral("killtree: still running after SIGKILL: ") + pids.join(QLatin1Char(' ')),
            0);
        finish();
        return;
    }
    m_killSent = true;
    QStringList args{QStringLiteral("kill"), QStringLiteral("-KILL")};
    for (qint64 pid : targets) {
        if (pid == m_rootPid && m_root) {
            m_root->kill();  // our own child: signalled directly
        } else {
            args.append(QString::number(pid));
        }
    }
    daemonLog(QStringLiteral("killtree: SIGKILL to what is left of the tree of %1: %2")
            .arg(m_rootPid)
            .arg(args.mid(2).join(QLatin1Char(' '))),
        0);
    if (args.size() > 2) runStep(QStringLiteral("sudo"), args, [](bool, const QByteArray&) {});
    // Whatever still runs then is reported, and the next start waits no longer.
    m_grace->start(m_helperTimeoutMs);
}

void TreeKill::finish() {
    if (m_finished) return;
    m_finished = true;
    if (m_poll) m_poll->stop();
    if (m_grace) m_grace->stop();
    emit finished();
}
