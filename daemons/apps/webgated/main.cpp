// webgated: the back end of the robot's web interface.
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <algorithm>
#include <csignal>
#include <cstdlib>

#include "CommandTable.h"
#include "Fcgi.h"
#include "service/Client.h"
#include "service/CommandLine.h"
#include "transport/FcgiConnections.h"
#include "base/FsRoot.h"
#include "transport/ListenSocket.h"
#include "service/ServiceNotifier.h"
#include "base/SystemEncoding.h"
#include "service/UdpLogger.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/corvanta/daemons/SignalHandler.h"
#include "process/ScriptRunner.h"

using kel::corvanta::daemons::Log;
using kel::corvanta::daemons::SignalHandler;

namespace {

// Descriptors inherited from whoever started the daemon stay usable here but do not pass on
// to the programs the daemon starts.
void closeInheritedOnExec() {
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::Files | QDir::System)) {
        const int fd = name.toInt();
        if (fd > 2) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
}

}  // namespace

int main(int argc0, char** argv0) {
    const int exitStatus = handleCommandLine(argc0, argv0, stdout, stderr);
    if (exitStatus >= 0) return exitStatus;
    // Taken before any thread starts: it changes the environment.
    const int listenFd = takeListenSocket();
    closeInheritedOnExec();
    // Orphans of the programs the daemon starts become its children: it follows them until they
    // end, so that a program's stop reaches them even once the program itself has ended.
    const bool subreaper = ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
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

    // Run as a CGI program (no listening socket), standard output carries the reply: the log
    // writes to its file alone then.
    const bool cgi = listenFd == 0 && FcgiConnections::isCgi(0);
    auto* log = new Log(FsRoot::fsPath(QStringLiteral("/var/log/webgated")), 0, cgi);
    // Every line goes to the file; standard output (the journal) gets the important ones only,
    // not a line per request.
    log->setStdoutVerbosity(1);
    if (!subreaper) log->log(QStringLiteral("ERROR: cannot adopt the orphans of programs"), 0);

    ScriptRunner::init();
    Client::init();
    Client* client = Client::singleton();

    bool ok = QObject::connect(signalHandler, &SignalHandler::log, log, &Log::log);
    ok = QObject::connect(client, &Client::logLevelChanged, log, &Log::setVerbosity) && ok;
    if (!ok) qFatal("webgated: connecting the log failed");

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
        // Both in one step: an address holding "%2" (an IPv6 zone) stays as it is.
        log->log(QStringLiteral("ip = %1, port = %2").arg(udp->ip(), QString::number(udp->port())),
                 1);
    } else {
        udp->setEnabled(false);
    }
    log->log(QStringLiteral("Start webgated"), 1);

    auto* fcgi = new Fcgi(webgatedCommands());
    fcgi->setListenFd(listenFd);
    // A request loop that cannot go on ends the daemon with an error, so a supervisor restarts it.
    QObject::connect(
        fcgi, &Fcgi::requestLoopFailed, app, [] { QCoreApplication::exit(1); },
        Qt::QueuedConnection);
    // A CGI program ends once its one reply is written, through the usual quit: the control
    // handler's standstill goes out first, so a drive command it served never outlives it.
    if (cgi) {
        QObject::connect(fcgi, &QThread::finished, app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    }
    // systemd hears that the daemon is ready once the loop serves (the client has started by
    // then: the loop's signal is handled by the event loop), and its watchdog is fed while both
    // threads turn.
    QElapsedTimer statusClock;
    statusClock.start();
    quint64 statusRequests = 0;
    auto* notifier = new ServiceNotifier(
        [fcgi] { return fcgi->loopAgeMs(); },
        [fcgi, &statusClock, &statusRequests] {
            const quint64 requests = fcgi->requestCount();
            const double seconds = std::max<qint64>(1, statusClock.restart()) / 1000.0;
            const double rate = static_cast<double>(requests - statusRequests) / seconds;
            statusRequests = requests;
            return QStringLiteral("robot link %1, %2 requests/s, %3 programs running")
                .arg(QLatin1String(Client::linkName(Client::singleton()->link())))
                .arg(rate, 0, 'f', 1)
                .arg(ScriptRunner::singleton()->runningCount());
        },
        app);
    QObject::connect(fcgi, &Fcgi::serving, notifier, &ServiceNotifier::ready, Qt::QueuedConnection);
    QObject::connect(app, &QCoreApplication::aboutToQuit, notifier, &ServiceNotifier::stopping);
    fcgi->start();

    const QString address =
        client->getParameter(QStringLiteral("~/Network/server"), QStringLiteral("127.0.0.1:12080")).toString();
    log->log("address = " + address, 1);
    client->setAddress(address);
    client->connectToServer(5000);

    // Leaving the loop sends the robot a standstill and puts it on the wire at once (the control
    // handler on aboutToQuit), before anything below waits.
    const int status = QCoreApplication::exec();

    // The request and worker threads end before the client goes, so no request is served
    // against a destroyed client; a request in progress gets a short grace time, then it is
    // abandoned.
    if (!fcgi->shutdown()) {
        log->log(
            QStringLiteral("ERROR: a request is still being served; the daemon ends without it"),
            0);
        // Programs must not outlive the daemon: a robot program left running would go on driving.
        ScriptRunner::singleton()->endAll();
        log->flush();
        qDebug("Quit");
        // The handler still runs on objects the normal teardown would destroy under it.
        std::_Exit(status);
    }
    // Lines the request thread handed over on its way out are written, not dropped.
    log->flush();
    Client::done();
    // Programs still running are ended, each wait bounded.
    ScriptRunner::done();
    qDebug("Quit");
    delete fcgi;
    delete log;
    delete signalHandler;
    delete app;
    return status;
}
