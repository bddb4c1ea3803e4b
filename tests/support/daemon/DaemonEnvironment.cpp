#include "DaemonEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdlib>

#include "CommandTable.h"
#include "E2e.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "service/Client.h"
#include "base/SystemEncoding.h"
#include "kel/corvanta/daemons/Log.h"
#include "process/ScriptRunner.h"

namespace testsupport {

namespace {
const QByteArray kJsonHeader = "Content-type: text/html\r\n\r\n";
}

DaemonEnvironment& DaemonEnvironment::instance() {
    static DaemonEnvironment* environment = new DaemonEnvironment();
    return *environment;
}

DaemonEnvironment::DaemonEnvironment() {
    ::setenv("WEBGATED_ROOT", m_root.path().toLocal8Bit().constData(), 1);
    prepareSandbox(root());
    QFile::remove(path(QStringLiteral("/etc/corvanta/webgated.conf")));  // tests write their own
    QDir::setCurrent(sourceDir());  // where the daemon finds ./resources/nocam.png
    QCoreApplication::setApplicationName(QStringLiteral("webgated"));
    SystemEncoding::useUtf8();
    m_log.reset(new kel::corvanta::daemons::Log(path(QStringLiteral("/var/log/webgated")), 100, true));
    ScriptRunner::init();
    Client::init();
}

Client& DaemonEnvironment::client() { return *Client::singleton(); }

Fcgi& DaemonEnvironment::fcgi() {
    if (!m_fcgi) m_fcgi.reset(new Fcgi(webgatedCommands()));
    return *m_fcgi;
}

void DaemonEnvironment::setConfig(const QByteArray& systemIni, const QByteArray& userIni) {
    const QString system = path(QStringLiteral("/etc/corvanta/webgated.conf"));
    const QString user = path(QStringLiteral("/home/corvanta/.config/webgated.conf"));
    writeFile(system, systemIni);
    writeFile(user, userIni);
    client().readParameters(system, user);
}

QString DaemonEnvironment::logText() {
    m_log->flush();
    return QString::fromLatin1(readFile(path(QStringLiteral("/var/log/webgated"))));
}

void DaemonEnvironment::clearLog() {
    m_log->flush();
    QFile::remove(path(QStringLiteral("/var/log/webgated")));
}

QString DaemonEnvironment::logOf(int verbosity, const std::function<void()>& work) {
    const int before = m_log->verbosity();
    m_log->setVerbosity(verbosity);
    clearLog();
    work();
    const QString text = logText();
    m_log->setVerbosity(before);
    return text;
}

QByteArray DaemonEnvironment::request(const QByteArray& query, const RequestHeaders& headers) {
    return fcgi().processRequest(query.constData(), headers);
}

JsonPtr DaemonEnvironment::requestJson(const QByteArray& query) {
    const QByteArray body = reply(query);
    return JsonPtr(body.isEmpty() ? nullptr : json_loads(body.constData(), 0, nullptr));
}

QByteArray DaemonEnvironment::reply(const QByteArray& query, const RequestHeaders& headers) {
    const QByteArray response = request(query, headers);
    return response.startsWith(kJsonHeader) ? response.mid(kJsonHeader.size()) : QByteArray();
}

bool DaemonEnvironment::connectTo(TestRobot& robot) {
    fcgi();  // switches the daemon's topics on
    client().setAddress(robot.address());
    client().connectToServer();
    return waitFor([&] { return client().isConnected() && robot.isSwitchedOn(QStringLiteral("odometry")); }, 10000);
}

bool DaemonEnvironment::syncWith(TestRobot& robot, bool forget) { return robot.syncWith(client(), forget); }

QByteArray CommandCall::operator[](const char* key) const { return field(reply.get(), key); }

CommandCall callCommand(const QByteArray& query, const std::function<RequestResult(Request&)>& command) {
    JsonPtr parsed(json_loads(query.constData(), 0, nullptr));
    JsonPtr reply(json_object());
    Request request(parsed.get(), reply.get());
    const RequestResult result = command(request);
    return {result, request.quiet(), std::move(reply), request.isRaw() ? QByteArray(request.rawHeader()) + request.rawBody() : QByteArray()};
}

QByteArray field(const json_t* object, const char* key) {
    const json_t* value = json_object_get(object, key);
    return value ? jsonDump(value, JSON_COMPACT | JSON_ENCODE_ANY) : QByteArray();
}

}  // namespace testsupport
