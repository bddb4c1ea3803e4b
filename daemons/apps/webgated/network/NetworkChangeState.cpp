#include "network/NetworkChangeState.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include "base/AtomicFile.h"
#include "base/DaemonLog.h"
#include "base/FsRoot.h"
#include "base/Json.h"
#include "base/TextChecks.h"
#include "network/NetworkScript.h"

using Phase = NetworkChange::Phase;

namespace {

// The state file holds the files (three of at most 1 MiB, in base64) and little else.
constexpr qint64 kMaxStateBytes = 6 << 20;

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

QString folderOf(const QString& path) { return path.left(path.lastIndexOf(QLatin1Char('/'))); }

// Moves an unusable state file out of the way, so that it neither blocks nor repeats a change.
bool keepAside(const QString& why) {
    const QString path = FsRoot::fsPath(NetworkChangeState::path());
    const QString aside = path + QStringLiteral(".corrupt");
    const bool moved =
        ::rename(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0;
    daemonLog(QStringLiteral("Network change state %1 cannot be used (%2); %3")
                  .arg(NetworkChangeState::path(), why,
                       moved ? QStringLiteral("kept as ") + FsRoot::robotPath(aside)
                             : QStringLiteral("it cannot be moved aside either")),
              0);
    if (!moved) NetworkChangeState::remove();
    return false;
}

// The file's bytes; empty with `why` when it is no regular file, too large or unreadable.
QByteArray readState(int fd, QString* why) {
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *why = QStringLiteral("not a regular file");
        return QByteArray();
    }
    if (status.st_size > kMaxStateBytes) {
        *why = QStringLiteral("too large");
        return QByteArray();
    }
    QByteArray text(static_cast<int>(status.st_size), Qt::Uninitialized);
    qint64 got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, static_cast<size_t>(text.size() - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    if (got != text.size()) *why = QStringLiteral("cannot be read");
    return text;
}

// The files of the state `root`, each one that `command` changes, given once.
bool readFiles(const json_t* root, const NetworkScript& command, QString* why,
               QList<NetworkUndo::FileSnapshot>* out) {
    const json_t* files = json_object_get(root, "files");
    QStringList allowed;
    for (const NetworkFile file : command.files) allowed << NetworkConfigFiles::path(file);
    if (!json_is_array(files) || json_array_size(files) != size_t(allowed.size())) {
        *why = QStringLiteral("bad file list");
        return false;
    }
    for (size_t i = 0; i < json_array_size(files); ++i) {
        const json_t* entry = json_array_get(files, i);
        NetworkUndo::FileSnapshot file;
        file.path = jsonToQString(json_object_get(entry, "path"));
        const json_t* exists = json_object_get(entry, "exists");
        const json_t* bytes = json_object_get(entry, "bytes");
        if (!allowed.removeOne(file.path) || !json_is_boolean(exists) || !json_is_string(bytes) ||
            !readUInt(entry, "mode", 07777, &file.mode) ||
            !readUInt(entry, "uid", 0xfffffffe, &file.uid) ||
            !readUInt(entry, "gid", 0xfffffffe, &file.gid)) {
            *why = QStringLiteral("bad file entry");
            return false;
        }
        file.exists = json_is_true(exists);
        const QByteArray base64(json_string_value(bytes));
        const auto decoded =
            QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded || decoded.decoded.size() > NetworkUndo::kMaxFileBytes ||
            (!file.exists && !decoded.decoded.isEmpty())) {
            *why = QStringLiteral("bad file bytes");
            return false;
        }
        file.bytes = decoded.decoded;
        out->append(file);
    }
    return true;
}

// The change in the state `root`; false with `why` for anything this daemon would not write.
bool parse(const json_t* root, NetworkChangeState::Saved* saved, QString* why) {
    const auto text = [root](const char* key) { return jsonToQString(json_object_get(root, key)); };
    NetworkChange::Plan& plan = saved->plan;
    saved->id = text("changeId");
    plan.command = text("command");
    plan.script = text("script");
    const QString phase = text("state");
    const json_t* deadline = json_object_get(root, "deadline");
    uint confirmWithin = 0;
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{1,16}$"));
    const NetworkScript* command = NetworkScript::find(plan.command);
    if (!hex.match(saved->id).hasMatch()) {
        *why = QStringLiteral("bad changeId");
    } else if (plan.script.isEmpty() || !command || plan.script != command->script()) {
        *why = QStringLiteral("command and script do not match the configuration");
    } else if (!readStringArray(json_object_get(root, "args"), &plan.args) ||
               !readStringArray(json_object_get(root, "undoArgs"), &plan.undoArgs)) {
        *why = QStringLiteral("bad arguments");
    } else if (!readUInt(root, "confirmWithin", 600, &confirmWithin) || confirmWithin < 10) {
        *why = QStringLiteral("bad confirmWithin");
    } else if (!json_is_integer(deadline)) {
        *why = QStringLiteral("bad deadline");
    } else if (phase != QLatin1String("running") && phase != QLatin1String("waiting") &&
               phase != QLatin1String("rolling back")) {
        *why = QStringLiteral("bad state");
    } else if (readFiles(root, *command, why, &plan.files)) {
        plan.confirmWithin = static_cast<int>(confirmWithin);
        saved->deadlineMs = json_integer_value(deadline);
        saved->phase = phase == QLatin1String("running")   ? Phase::Running
                       : phase == QLatin1String("waiting") ? Phase::Waiting
                                                           : Phase::RollingBack;
        return true;
    }
    return false;
}

}  // namespace

namespace NetworkChangeState {

QString path() { return QStringLiteral("/var/lib/webgated/network-change.json"); }

const char* phaseText(Phase phase) {
    switch (phase) {
        case Phase::Running:
            return "running";
        case Phase::Waiting:
        case Phase::Keeping:
            return "waiting";
        case Phase::RollingBack:
            return "rolling back";
        case Phase::RolledBack:
            return "rolled back";
        case Phase::Kept:
            return "kept";
        case Phase::None:
            break;
    }
    return "";
}

bool write(const Saved& saved, QString* why) {
    const NetworkChange::Plan& plan = saved.plan;
    JsonPtr state(json_object());
    json_object_set_new(state.get(), "changeId", jsonFromQString(saved.id));
    json_object_set_new(state.get(), "command", jsonFromQString(plan.command));
    json_object_set_new(state.get(), "script", jsonFromQString(plan.script));
    json_object_set_new(state.get(), "args", stringArray(plan.args));
    json_object_set_new(state.get(), "undoArgs", stringArray(plan.undoArgs));
    json_object_set_new(state.get(), "confirmWithin", json_integer(plan.confirmWithin));
    json_object_set_new(state.get(), "state", json_string(phaseText(saved.phase)));
    json_object_set_new(state.get(), "deadline", json_integer(saved.deadlineMs));
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

    const QString file = FsRoot::fsPath(path());
    const QString folder = folderOf(file);
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("cannot create ") + FsRoot::robotPath(folder);
        return false;
    }
    // A folder that takes no new file is named as the cause, not the file.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0) {
        *why = FsRoot::robotPath(folder) + QStringLiteral(": ") + AtomicFile::errorText();
        return false;
    }
    AtomicFileOptions options;
    options.mode = 0600;
    // Not hidden: the start-up removal of leftovers looks for "<name>.XXXXXX" beside it.
    options.hiddenTemporary = false;
    // The rename replaces whatever is at the path, a planted link included, never its target.
    if (text.isEmpty() || !AtomicFile::write(file, text, options)) {
        *why = path() + QStringLiteral(": ") + AtomicFile::errorText();
        return false;
    }
    return true;
}

bool remove(QString* why) {
    const QString file = FsRoot::fsPath(path());
    if (::unlink(QFile::encodeName(file).constData()) != 0 && errno != ENOENT) {
        const QString failure =
            QStringLiteral("cannot remove %1: %2").arg(path(), AtomicFile::errorText());
        if (why) {
            *why = failure;
        } else {
            daemonLog(QStringLiteral("Network change: ") + failure, 0);
        }
        return false;
    }
    // The removal itself reaches the disk before a keep is answered.
    AtomicFile::syncFolder(QFile::encodeName(folderOf(file)));
    return true;
}

bool read(Saved* saved) {
    const QByteArray file = QFile::encodeName(FsRoot::fsPath(path()));
    // A link planted at the path is not followed; a pipe does not hold the start.
    const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) keepAside(AtomicFile::errorText());
        return false;
    }
    QString why;
    const QByteArray text = readState(fd, &why);
    ::close(fd);
    if (!why.isEmpty()) return keepAside(why);
    json_error_t error;
    JsonPtr state(json_loadb(text.constData(), static_cast<size_t>(text.size()), 0, &error));
    if (!json_is_object(state.get())) return keepAside(QStringLiteral("not a JSON object"));
    if (!parse(state.get(), saved, &why)) return keepAside(why);
    return true;
}

}  // namespace NetworkChangeState
