#include "network/NetworkChange.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimer>

#include "base/FsRoot.h"
#include "base/Json.h"
#include "kel/corvanta/daemons/EventMailbox.h"
#include "kel/corvanta/daemons/Log.h"
#include "network/NetworkScript.h"
#include "process/ScriptRunner.h"
#include "base/DaemonLog.h"
#include "base/TextChecks.h"

using kel::corvanta::daemons::EventMailbox;

namespace {

// The state file holds the files (three of at most 1 MiB, in base64) and little else.
constexpr qint64 kMaxStateBytes = 6 << 20;

const char* phaseText(NetworkChange::Phase phase) {
    switch (phase) {
        case NetworkChange::Phase::Running: return "running";
        case NetworkChange::Phase::Waiting:
        case NetworkChange::Phase::Keeping: return "waiting";
        case NetworkChange::Phase::RollingBack: return "rolling back";
        case NetworkChange::Phase::RolledBack: return "rolled back";
        case NetworkChange::Phase::Kept: return "kept";
        case NetworkChange::Phase::None: break;
    }
    return "";
}

json_t* stringArray(const QStringList& list) {
    json_t* array = json_array();
    for (const QString& text : list) json_array_append_new(array, jsonFromQString(text));
    return array;
}


bool readStringArray(const json_t* value, QStringList* out) {
    if (!json_is_array(value)) return false;
    out->clear();
    for (size_t i = 0; i < json_array_size(value); ++i) {
        const json_t* item = json_array_get(value, i);
        if (!json_is_string(item)) return false;
        const QString text = jsonToQString(item);
        if (TextChecks::hasControlCharacter(text)) return false;
        out->append(text);
    }
    return true;
}

bool readUInt(const json_t* object, const char* key, qint64 max, uint* out) {
    const json_t* value = json_object_get(object, key);
    if (!json_is_integer(value)) return false;
    const json_int_t number = json_integer_value(value);
    if (number < 0 || number > max) return false;
    *out = static_cast<uint>(number);
    return true;
}

QString joinedPaths(const QList<NetworkUndo::FileSnapshot>& files) {
    QStringList paths;
    for (const NetworkUndo::FileSnapshot& file : files) paths << file.path;
    return paths.join(QStringLiteral(", "));
}

}  // namespace

QString NetworkChange::Status::stateName() const { return QLatin1String(phaseText(phase)); }

QString NetworkChange::statePath() { return QStringLiteral("/var/lib/webgated/network-change.json"); }

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
    if (!writeState(plan, id, Phase::Running, deadlineMs, why)) return QString();
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
    const bool removed = removeState(&failure);
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
    daemonLog(QStringLiteral("Network change %1 (%2) cannot be kept: %3; it still waits for confirmation")
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
    if (!writeState(plan, id, Phase::RollingBack, QDateTime::currentMSecsSinceEpoch(), &why)) {
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
    // The WLAN and access-point scripts take the passphrase last (the undo's too, read from the
    // files): no log line shows it, the script's own output included.
    const QStringList& args = undoing ? plan.undoArgs : plan.args;
    if ((plan.command == QLatin1String("SetWlanConf") || plan.command == QLatin1String("SetHostapd")) &&
        !args.isEmpty()) {
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
        if (!writeState(plan, id, Phase::Waiting,
                        QDateTime::currentMSecsSinceEpoch() + confirmMs, &why)) {
            daemonLog(QStringLiteral("Network change %1: cannot keep its deadline: %2").arg(id, why), 0);
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
    removeState();
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

bool NetworkChange::writeState(const Plan& plan, const QString& id, Phase phase,
                               qint64 deadlineMs, QString* why) const {
    JsonPtr state(json_object());
    json_object_set_new(state.get(), "changeId", jsonFromQString(id));
    json_object_set_new(state.get(), "command", jsonFromQString(plan.command));
    json_object_set_new(state.get(), "script", jsonFromQString(plan.script));
    json_object_set_new(state.get(), "args", stringArray(plan.args));
    json_object_set_new(state.get(), "undoArgs", stringArray(plan.undoArgs));
    json_object_set_new(state.get(), "confirmWithin", json_integer(plan.confirmWithin));
    json_object_set_new(state.get(), "state", json_string(phaseText(phase)));
    json_object_set_new(state.get(), "deadline", json_integer(deadlineMs));
    json_t* files = json_array();
    for (const NetworkUndo::FileSnapshot& file : plan.files) {
        json_t* entry = json_object();
        json_object_set_new(entry, "path", jsonFromQString(file.path));
        json_object_set_new(entry, "exists", json_boolean(file.exists));
        json_object_set_new(entry, "mode", json_integer(file.mode));
        json_object_set_new(entry, "uid", json_integer(file.uid));
        json_object_set_new(entry, "gid", json_integer(file.gid));
        json_object_set_new(entry, "bytes", json_string(file.bytes.toBase64().constData()));
        json_array_append_new(files, entry);
    }
    json_object_set_new(state.get(), "files", files);
    const QByteArray text = jsonDump(state.get(), JSON_COMPACT);

    const QString path = FsRoot::fsPath(statePath());
    const QString dir = path.left(path.lastIndexOf(QLatin1Char('/')));
    if (!QDir().mkpath(dir)) {
        *why = QStringLiteral("cannot create ") + FsRoot::robotPath(dir);
        return false;
    }
    // It holds passphrases: private from the first byte.
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *why = FsRoot::robotPath(dir) + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && !text.isEmpty() && NetworkUndo::writeAll(fd, text);
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    // The rename replaces whatever is at the path, a planted link included, never its target.
    ok = ok && ::rename(temporary.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok) {
        *why = statePath() + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
        ::unlink(temporary.constData());
        return false;
    }
    NetworkUndo::syncFolder(QFile::encodeName(dir));
    return true;
}

bool NetworkChange::removeState(QString* why) const {
    const QString path = FsRoot::fsPath(statePath());
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
        const QString failure = QStringLiteral("cannot remove %1: %2")
                                    .arg(statePath(), QString::fromLocal8Bit(strerror(errno)));
        if (why) {
            *why = failure;
        } else {
            daemonLog(QStringLiteral("Network change: ") + failure, 0);
        }
        return false;
    }
    // The removal itself reaches the disk before a keep is answered.
    NetworkUndo::syncFolder(QFile::encodeName(path.left(path.lastIndexOf(QLatin1Char('/')))));
    return true;
}

void NetworkChange::keepAside(const QString& why) const {
    const QString path = FsRoot::fsPath(statePath());
    const QString aside = path + QStringLiteral(".corrupt");
    const bool moved = ::rename(QFile::encodeName(path).constData(),
                                QFile::encodeName(aside).constData()) == 0;
    daemonLog(QStringLiteral("Network change state %1 cannot be used (%2); %3")
            .arg(statePath(), why,
                 moved ? QStringLiteral("kept as ") + FsRoot::robotPath(aside)
                       : QStringLiteral("it cannot be moved aside either")),
        0);
    if (!moved) removeState();
}

void NetworkChange::resume() {
    // Temporary files of a restore or of the state cut short by the end of the last run: the
    // WLAN file's hold passphrases.
    QStringList networkFiles;
    for (const NetworkFile file : NetworkConfigFiles::kAll) networkFiles << NetworkConfigFiles::path(file);
    const QStringList removedFiles = NetworkUndo::removeLeftovers(networkFiles) +
                                     NetworkUndo::removeLeftovers({statePath()}, false);
    for (const QString& removed : removedFiles) {
        daemonLog(QStringLiteral("Network change: removed %1, left by a write cut short").arg(removed), 1);
    }
    const QByteArray path = QFile::encodeName(FsRoot::fsPath(statePath()));
    // A link planted at the path is not followed; a pipe does not hold the start.
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) keepAside(QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    struct stat status;
    QByteArray text;
    QString why;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        why = QStringLiteral("not a regular file");
    } else if (status.st_size > kMaxStateBytes) {
        why = QStringLiteral("too large");
    } else {
        text.resize(static_cast<int>(status.st_size));
        qint64 got = 0;
        while (got < text.size()) {
            const ssize_t n = ::read(fd, text.data() + got, static_cast<size_t>(text.size() - got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
        if (got != text.size()) why = QStringLiteral("cannot be read");
    }
    ::close(fd);
    if (!why.isEmpty()) return keepAside(why);

    json_error_t error;
    JsonPtr state(json_loadb(text.constData(), static_cast<size_t>(text.size()), 0, &error));
    Plan plan;
    QString id;
    const json_t* root = state.get();
    const auto text_ = [root](const char* key) { return jsonToQString(json_object_get(root, key)); };
    if (!json_is_object(root)) return keepAside(QStringLiteral("not a JSON object"));
    id = text_("changeId");
    plan.command = text_("command");
    plan.script = text_("script");
    const QString phase = text_("state");
    const json_t* deadline = json_object_get(root, "deadline");
    const json_t* files = json_object_get(root, "files");
    uint confirmWithin = 0;
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{1,16}$"));
    if (!hex.match(id).hasMatch()) return keepAside(QStringLiteral("bad changeId"));
    // Only what this configuration's command runs and changes: an edited file cannot make the
    // daemon run another program or write another file.
    const NetworkScript* command = NetworkScript::find(plan.command);
    if (plan.script.isEmpty() || !command || plan.script != command->script())
        return keepAside(QStringLiteral("command and script do not match the configuration"));
    if (!readStringArray(json_object_get(root, "args"), &plan.args) ||
        !readStringArray(json_object_get(root, "undoArgs"), &plan.undoArgs))
        return keepAside(QStringLiteral("bad arguments"));
    if (!readUInt(root, "confirmWithin", 600, &confirmWithin) || confirmWithin < 10)
        return keepAside(QStringLiteral("bad confirmWithin"));
    plan.confirmWithin = static_cast<int>(confirmWithin);
    if (!json_is_integer(deadline)) return keepAside(QStringLiteral("bad deadline"));
    if (phase != QLatin1String("running") && phase != QLatin1String("waiting") &&
        phase != QLatin1String("rolling back"))
        return keepAside(QStringLiteral("bad state"));
    QStringList allowed;
    for (const NetworkFile file : command->files) allowed << NetworkConfigFiles::path(file);
    if (!json_is_array(files) || json_array_size(files) != size_t(allowed.size()))
        return keepAside(QStringLiteral("bad file list"));
    for (size_t i = 0; i < json_array_size(files); ++i) {
        const json_t* entry = json_array_get(files, i);
        NetworkUndo::FileSnapshot file;
        file.path = jsonToQString(json_object_get(entry, "path"));
        const json_t* exists = json_object_get(entry, "exists");
        const json_t* bytes = json_object_get(entry, "bytes");
        if (!allowed.removeOne(file.path) || !json_is_boolean(exists) || !json_is_string(bytes) ||
            !readUInt(entry, "mode", 07777, &file.mode) ||
            !readUInt(entry, "uid", 0xfffffffe, &file.uid) ||
            !readUInt(entry, "gid", 0xfffffffe, &file.gid))
            return keepAside(QStringLiteral("bad file entry"));
        file.exists = json_is_true(exists);
        const QByteArray base64(json_string_value(bytes));
        const auto decoded =
            QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() > NetworkUndo::kMaxFileBytes ||
            (!file.exists && !decoded.decoded.isEmpty()))
            return keepAside(QStringLiteral("bad file bytes"));
        file.bytes = decoded.decoded;
        plan.files.append(file);
    }

    quint64 serial = 0;
    qint64 leftMs = 0;
    {
        QMutexLocker lock(&m_mutex);
        serial = ++m_serial;
        m_id = id;
        m_plan = plan;
        leftMs = json_integer_value(deadline) - QDateTime::currentMSecsSinceEpoch();
        // A clock that was behind at boot must not stretch the time to confirm.
        leftMs = qMin(leftMs, qint64(plan.confirmWithin) * m_secondMs);
        // A script cut short by the end of the last run left the change half made; an undo
        // cut short is done again to its end.
        if (phase != QLatin1String("waiting")) leftMs = 0;
        if (leftMs > 0) {
            m_phase = Phase::Waiting;
            m_deadline = QDeadlineTimer(leftMs);
        } else {
            m_phase = Phase::RollingBack;
        }
    }
    if (phase == QLatin1String("rolling back")) {
        daemonLog(QStringLiteral("Network change %1 (%2) was being undone when the daemon ended; it is "
                           "undone again")
                .arg(id, plan.command),
            1);
        rollback_i(serial, QStringLiteral("undone again after the restart"), true);
        return;
    }
    if (leftMs <= 0) {
        daemonLog(QStringLiteral("Network change %1 (%2) from before the restart is past its deadline")
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
