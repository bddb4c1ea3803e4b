// webgated: the back end of the robot's web interface.
#include <QCoreApplication>
#include <csignal>

#include "Fcgi.h"
#include "frame/Client.h"
#include "frame/FsRoot.h"
#include "frame/SystemEncoding.h"
#include "frame/UdpLogger.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/corvanta/daemons/SignalHandler.h"
#include "process/ScriptRunner.h"

using kel::corvanta::daemons::Log;
using kel::corvanta::daemons::SignalHandler;

int main(int, char**) {
    // The command line is ignored.
    int argc = 1;
    char name[] = "webgated";
    char* argv[] = {name, nullptr};
    // A page closing its connection must not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    auto* app = new QCoreApplication(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("webgated"));
    // Network names and keys reach the scripts as UTF-8 whatever the locale.
    SystemEncoding::useUtf8();

    auto* signalHandler = new SignalHandler();
    signalHandler->setDefaultConnectionsEnabled(true);

    auto* log = new Log(FsRoot::fsPath(QStringLiteral("/var/log/webgated")), 0, false);

    ScriptRunner::init();
    Client::init();
    Client* client = Client::singleton();

    bool ok = QObject::connect(signalHandler, &SignalHandler::log, log, &Log::log);
    ok = QObject::connect(client, &Client::logLevelChanged, log, &Log::setVerbosity) && ok;
    Q_ASSERT(ok);
    (void)ok;

    client->readParameters(FsRoot::fsPath(QStringLiteral("/etc/corvanta/webgated.conf")),
                           FsRoot::fsPath(QStringLiteral("/home/corvanta/.config/webgated.conf")));

    const int verbosity = client->getParameter(QStringLiteral("~/Log/verbosity"), 0).toInt();
    log->setVerbosity(verbosity);
    log->log(QStringLiteral("Log level = %1").arg(verbosity), 1);
    UdpLogger* udp = UdpLogger::Singleton();
    udp->setVerbosity(verbosity);

    const int broadcast = client->getParameter(QStringLiteral("~/Debug/broadcastLogViaUDP"), 0).toInt();
    log->log(QStringLiteral("broadCastViaUdp = %1").arg(broadcast), 1);
    if (broadcast == 1) {
        udp->setEnabled(true);
        udp->setIP(client->getParameter(QStringLiteral("~/Debug/udpIP"), QStringLiteral("127.0.0.1")).toString());
        udp->setPort(client->getParameter(QStringLiteral("~/Debug/udpPort"), 7086).toInt());
        log->log(QStringLiteral("ip = %1, port = %2").arg(udp->ip()).arg(udp->port()), 1);
    } else {
        udp->setEnabled(false);
    }
    log->log(QStringLiteral("Start webgated"), 1);

    auto* fcgi = new Fcgi();
    fcgi->start();

    const QString address =
        client->getParameter(QStringLiteral("~/Network/server"), QStringLiteral("127.0.0.1:12080")).toString();
    log->log("address = " + address, 1);
    client->setAddress(address);
    client->connectToServer(5000);

    QCoreApplication::exec();

    // The request thread ends before the client goes, so no request is served against a
    // destroyed client; a request in progress finishes first.
    fcgi->stop();
    Client::done();
    // Programs still running are ended, each wait bounded.
    ScriptRunner::done();
    qDebug("Quit");
    delete fcgi;
    delete log;
    delete signalHandler;
    delete app;
    return 0;
}
