#include "SettingsSupport.h"

#include <QDir>
#include <QFile>

#include "E2e.h"
#include "Fcgi.h"

namespace settingstest {

using testsupport::DaemonEnvironment;

void writeFile(const QString& robotPath, const QByteArray& content) {
    testsupport::writeFile(DaemonEnvironment::instance().path(robotPath), content);
}

QByteArray readFile(const QString& robotPath) {
    QFile file(DaemonEnvironment::instance().path(robotPath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void removeDir(const QString& robotPath) { QDir(DaemonEnvironment::instance().path(robotPath)).removeRecursively(); }

void setLocations(const QStringList& locations) {
    DaemonEnvironment::instance().fcgi().context().settings.setINI_DIR(locations);
}

QByteArray xmlBody(const QByteArray& response) {
    const QByteArray header = "Content-type: text/xml\r\n\r\n";
    return response.startsWith(header) ? response.mid(header.size()) : "<not xml>" + response;
}

QByteArray outcome(const QByteArray& query) {
    const JsonPtr reply = DaemonEnvironment::instance().requestJson(query);
    const json_t* type = json_object_get(reply.get(), "TYPE");
    const json_t* msg = json_object_get(reply.get(), "MSG");
    QByteArray text = type ? QByteArray(json_string_value(type)) : QByteArray("<no reply>");
    if (msg) text += " " + QByteArray(json_string_value(msg));
    return text;
}

}  // namespace settingstest
