#include "process/TreeKill.h"

#include <QFile>
#include <QTimer>
#include <memory>

#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

void log(const QString& text, int level) { Log::singleton()->log(text, level); }

constexpr int kPollMs = 20;

}  // namespace

TreeKill::TreeKill(QProcess* root, int graceMs, int helperTimeoutMs, QObject* helperParent,
                   QObject* parent)
    : QObject(parent),
      m_root(root),
      m_rootPid(root ? root->processId() : 0),
      m_graceMs(graceMs),
      m_helperTimeoutMs(helperTimeoutMs),
      m_helperParent(helperParent) {}

TreeKill::TreeKill(const QString& program, int helperTimeoutMs, QObject* helperParent,
                   QObject* parent)
    : QObject(parent),
      m_killallProgram(program),
      m_helperTimeoutMs(helperTimeoutMs),
      m_helperParent(helperParent) {}

qint64 TreeKill::startTimeOf(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return -1;
    const QByteArray text = stat.readAll();
    // The command name in parentheses may hold blanks: the fields start after the last ")".
    const int close = text.lastIndexOf(')');
    if (close < 0) return -1;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    // fields[0] is the state (field 3), fields[19] the start time (field 22).
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X") return -1;
    bool ok = false;
    const qint64 start = fields[19].toLongLong(&ok);
    return ok ? start : -1;
}

void TreeKill::start() {
    if (!m_killallProgram.isEmpty()) {
        log(QStringLiteral("killtree: sudo killall ") + m_killallProgram, 2);
        runStep(QStringLiteral("sudo"), {QStringLiteral("killall"), m_killallProgram},
                [this](bool, const QByteArray&) { finish(); });
        return;
    }
    // A process that never ran has no tree; pid 0 and 1 are never walked.
    if (m_rootPid <= 1) {
        finish();
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
        log(QStringLiteral("killtree: cannot start ") + program, 0);
        done(false, QByteArray());
    });
    connect(timer, &QTimer::timeout, this, [=]() {
        if (*answered) return;
        *answered = true;
        timer->deleteLater();
        log(QStringLiteral("killtree: %1 %2 did not end within %3 ms")
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
                    for (const Member& member : m_members) seen = seen || member.pid == child;
                    if (seen) continue;
                    level.children.append(child);
                    m_members.append({child, startTimeOf(child)});
                }
                advance();
            });
    log(QStringLiteral("killtree:") + QString::number(pid), 0);
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
    log(QStringLiteral("!kill in killtree: %1").arg(pid), 0);
    runStep(QStringLiteral("sudo"),
            {QStringLiteral("bash"), QStringLiteral("-c"),
             QStringLiteral("pkill -TERM -P ") + QString::number(pid)},
            [this](bool, const QByteArray&) {
                m_stack.removeLast();
                advance();
            });
}

void TreeKill::treeSignalled() {
    // The root last: the sudo program may run the program directly, with nothing in between
    // that would end once its children are gone.
    if (m_root && m_root->state() != QProcess::NotRunning) {
        log(QStringLiteral("killtree: SIGTERM to %1").arg(m_rootPid), 2);
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
    for (const Member& member : m_members) {
        // The same pid with another start time is a new process that merely reuses the number.
        if (member.startTime >= 0 && startTimeOf(member.pid) == member.startTime) {
            alive.append(member.pid);
        }
    }
    return alive;
}

void TreeKill::poll() {
    if (m_finished) return;
    if (survivors().isEmpty()) finish();
}

void TreeKill::graceOver() {
    if (m_finished) return;
    const QList<qint64> alive = survivors();
    if (alive.isEmpty()) {
        finish();
        return;
    }
    if (m_killSent) {
        QStringList pids;
        for (qint64 pid : alive) pids.append(QString::number(pid));
        log(QStringLiteral("killtree: still running after SIGKILL: ") + pids.join(QLatin1Char(' ')),
            0);
        finish();
        return;
    }
    m_killSent = true;
    QStringList args{QStringLiteral("kill"), QStringLiteral("-KILL")};
    for (qint64 pid : alive) {
        if (pid == m_rootPid && m_root) {
            m_root->kill();  // our own child: signalled directly
        } else {
            args.append(QString::number(pid));
        }
    }
    log(QStringLiteral("killtree: SIGKILL to what is left of the tree of %1: %2")
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
