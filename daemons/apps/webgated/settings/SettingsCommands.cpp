#include "settings/SettingsCommands.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QSet>

#include "base/FsRoot.h"
#include "service/UdpLogger.h"
#include "kel/corvanta/daemons/Log.h"
#include "process/ScriptRunner.h"
#include "settings/ComponentRestarts.h"
#include "settings/ConfigEditor.h"
#include "settings/ConfigPageBuilder.h"

namespace SettingsCommands {

namespace {

void xmlReply(Request& request, const QString& document) {
    request.setRawResponse(QByteArray("Content-type: text/xml\r\n\r\n") + document.toUtf8());
}

void broadcast(const QString& text) { UdpLogger::Singleton()->sendMsg(text, 1); }

// Numbered names tried before an unpredictable one.
constexpr int kNumberedScriptNames = 3;

// Creates "/tmp/restart_<time stamp>.sh" fresh, never through an existing file or link, for its
// owner alone (root runs it next). A name taken already, by a restart in the same millisecond
// or by anyone else, gets "_1", "_2", ... before ".sh", then a random suffix, so that nobody can
// keep a restart from running by planting names. Returns the descriptor (or -1) and sets
// `script` to the robot path of the last name tried.
int createScript(QString* script) {
    const QString stem =
        QStringLiteral("/tmp/restart_") +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy_MM_dd_hh_mm_ss_zzz"));
    for (int n = 0; n <= kNumberedScriptNames; ++n) {
        const QString suffix = n == 0 ? QString() : QStringLiteral("_%1").arg(n);
        *script = stem + suffix + QStringLiteral(".sh");
        const QByteArray path = QFile::encodeName(FsRoot::fsPath(*script));
        const int fd = ::open(path.constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    QByteArray path = QFile::encodeName(FsRoot::fsPath(stem + QStringLiteral("_XXXXXX.sh")));
    const int fd = ::mkostemps(path.data(), 3, O_CLOEXEC);
    if (fd >= 0) *script = FsRoot::robotPath(QFile::decodeName(path));
    return fd;
}

}  // namespace

RequestResult getSettingsCategoryXML(Request& request, ConfigPageBuilder& builder) {
    builder.rebuild();
    xmlReply(request, builder.categoryXML());
    return Ack;
}

RequestResult getSettingsItemsXML(Request& request, ConfigPageBuilder& builder) {
    QElapsedTimer timer;
    timer.start();
    builder.rebuild();
    // Level 0 on purpose: integrators read the page's build time in every log, whatever its level.
    kel::corvanta::daemons::Log::singleton()->log(
        QStringLiteral("configXMLBuilder.rebuild() took %1 ms").arg(timer.elapsed()), 0);
    xmlReply(request, builder.itemsXML());
    return Ack;
}

RequestResult saveSettings(Request& request, ConfigPageBuilder& builder) {
    const json_t* settings = request.param("settings");
    if (!settings || !json_is_array(settings)) return MissingParameters;
    const size_t count = json_array_size(settings);
    broadcast(QStringLiteral("saveSettings array size %1").arg(count));

    // Only the files the page lists now, and only their web items, can be written.
    builder.scan();
    QSet<QString> webItems;
    for (const ConfigItem& item : builder.configItems()) {
        webItems.insert(item.filePath + QLatin1Char('\n') + item.group + QLatin1Char('/') + item.key);
    }

    RequestResult result = Ack;
    QMap<QString, ConfigEditor> editors;
    for (size_t i = 0; i < count; ++i) {
        const json_t* element = json_array_get(settings, i);
        const json_t* category = json_object_get(element, "category");
        const json_t* itemName = json_object_get(element, "itemName");
        const json_t* value = json_object_get(element, "value");
        if (!json_is_object(element) || !json_is_string(category) || !json_is_string(itemName) ||
            !json_is_string(value)) {
            result = MissingParameters;
            break;
        }
        const QString path = jsonToQString(category);
        const QString name = jsonToQString(itemName);
        ConfigEditor& editor = editors[path];
        // A change of an entry that is not a web item is ignored like a key the file lacks.
        if (webItems.contains(path + QLatin1Char('\n') + name)) editor.setValue(name, jsonToQString(value));
    }

    for (auto it = editors.constBegin(); it != editors.constEnd(); ++it) {
        const QString file = builder.writableFile(it.key());
        if (file.isEmpty() || !it.value().write(file)) {
            broadcast(QStringLiteral("saveSettings error writing %1").arg(it.key()));
            result = Failed;
        }
    }
    return result;
}

RequestResult restartComponent(Request& request, ConfigPageBuilder& builder, ComponentRestarts& restarts) {
    const json_t* filepath = request.param("filepath");
    if (!filepath || !json_is_string(filepath)) return MissingParameters;
    const QString file = jsonToQString(filepath);
    const ConfigRestartItem rule = builder.getConfigRestartItem(file);
    if (rule.command.isEmpty()) {
        request.setText("MSG", QStringLiteral("NO RULE FOUND TO RESTART THE COMPONENT"));
        return Failed;
    }
    // One run per file at a time: repeated requests would start any number of root processes.
    if (!restarts.begin(file)) {
        request.setText("MSG", QStringLiteral("A restart of this component is still running."));
        return Failed;
    }

    QString script;
    const int fd = createScript(&script);
    const QString scriptPath = FsRoot::fsPath(script);
    const QByteArray encoded = QFile::encodeName(scriptPath);
    bool written = fd >= 0 && ::fchmod(fd, 0700) == 0;
    const QByteArray text = rule.command.toUtf8();
    for (qsizetype done = 0; written && done < text.size();) {
        const ssize_t count = ::write(fd, text.constData() + done, static_cast<size_t>(text.size() - done));
        if (count < 0 && errno == EINTR) continue;
        written = count > 0;
        done += count;
    }
    if (fd >= 0 && ::close(fd) != 0) written = false;
    if (!written) {
        if (fd >= 0) ::unlink(encoded.constData());
        restarts.end(file);
        const QString message = QStringLiteral("Failed to open tmpScriptFile: %1").arg(script);
        kel::corvanta::daemons::Log::singleton()->log(message, 0);
        request.setText("MSG", message);
        return Failed;
    }

    ComponentRestarts* running = &restarts;
    ScriptRunner::singleton()->runScript(scriptPath, QStringList(), [running, file, encoded](int, int) {
        ::unlink(encoded.constData());
        running->end(file);
    });
    return Ack;
}

}  // namespace SettingsCommands
