#include "DaemonEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdlib>

#include "Fcgi.h"
#include "frame/Client.h"
#include "frame/SystemEncoding.h"
#include "kel/corvanta/daemons/Log.h"
#include "process/ScriptRunner.h"

namespace testsupport {

DaemonEnvironment& DaemonEnvironment::instance() {
    static DaemonEnvironment* environment = new DaemonEnvironment();
    return *environment;
}

DaemonEnvironment::DaemonEnvironment() {
    ::setenv("WEBGATED_ROOT", m_root.path().toLocal8Bit().constData(), 1);
    for (const char* dir : {"/etc/corvanta", "/home/corvanta/.config", "/var/log", "/var/www"}) {
        QDir().mkpath(root() + QLatin1String(dir));
    }
    QCoreApplication::setApplicationName(QStringLiteral("webgated"));
    SystemEncoding::useUtf8();
    m_log.reset(new kel::corvanta::daemons::Log(path(QStringLiteral("/var/log/webgated")), 100, true));
    ScriptRunner::init();
    Client::init();
}

Client& DaemonEnvironment::client() { return *Client::singleton(); }

Fcgi& DaemonEnvironment::fcgi() {
    if (!m_fcgi) m_fcgi.reset(new Fcgi());
    return *m_fcgi;
}

void DaemonEnvironment::setConfig(const QByteArray& systemIni, const QByteArray& userIni) {
    const QString system = path(QStringLiteral("/etc/corvanta/webgated.conf"));
    const QString user = path(QStringLiteral("/home/corvanta/.config/webgated.conf"));
    for (const auto& [file, content] : {std::make_pair(system, systemIni), std::make_pair(user, userIni)}) {
        QFile out(file);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) out.write(content);
    }
    client().readParameters(system, user);
}

QString DaemonEnvironment::logText() {
    m_log->flush();
    QFile in(path(QStringLiteral("/var/log/webgated")));
    return in.open(QIODevice::ReadOnly) ? QString::fromLatin1(in.readAll()) : QString();
}

void DaemonEnvironment::clearLog() {
    m_log->flush();
    QFile::remove(path(QStringLiteral("/var/log/webgated")));
}

QByteArray DaemonEnvironment::request(const QByteArray& query) { return fcgi().processRequest(query.constData()); }

JsonPtr DaemonEnvironment::requestJson(const QByteArray& query) {
    const QByteArray response = request(query);
    const QByteArray header = "Content-type: text/html\r\n\r\n";
    if (!response.startsWith(header)) return JsonPtr();
    const QByteArray body = response.mid(header.size());
    return JsonPtr(json_loads(body.constData(), 0, nullptr));
}

}  // namespace testsupport
