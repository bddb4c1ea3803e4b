// robotsim: plays the robot's RPC server so the web back end runs on any Linux machine.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <cmath>
#include <cstdio>

#include "RobotSimulator.h"
#include "SignalWatcher.h"

namespace {

bool parseListen(const QString& text, QHostAddress* address, quint16* port) {
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) return false;
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535) return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    if (host.isEmpty() || host == QLatin1String("*")) {
        *address = QHostAddress::Any;
    } else if (host == QLatin1String("localhost")) {
        *address = QHostAddress::LocalHost;
    } else if (!address->setAddress(host)) {
        return false;
    }
    *port = static_cast<quint16>(number);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("robotsim"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated robot speaking the RPC protocol."));
    parser.addHelpOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"), QStringLiteral("Address to listen on (port 0: any free port)."),
        QStringLiteral("host:port"), QStringLiteral("127.0.0.1:12080"));
    const QCommandLineOption fpsOption(QStringLiteral("fps"),
                                       QStringLiteral("Camera frames per second (1-100)."),
                                       QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption recordOption(
        QStringLiteral("record"), QStringLiteral("Append every received message to this file."),
        QStringLiteral("file"));
    const QCommandLineOption driveTimeoutOption(
        QStringLiteral("drive-timeout"),
        QStringLiteral("Seconds without a set-point after which the robot stops, as a real base's "
                       "motor controller does (0: never)."),
        QStringLiteral("s"), QStringLiteral("0.5"));
    const QCommandLineOption stampOption(
        QStringLiteral("stamp-time"),
        QStringLiteral("Write the time of each JPEG frame (ms since 1970, this computer's clock) "
                       "into the frame, as a comment \"robotsim-ms=<ms>\", so that a viewer can "
                       "tell how old a frame is when it is shown."));
    parser.addOptions({listenOption, fpsOption, recordOption, driveTimeoutOption, stampOption});
    parser.process(app);

    QHostAddress address;
    quint16 port = 0;
    if (!parseListen(parser.value(listenOption), &address, &port)) {
        std::fprintf(stderr, "robotsim: invalid --listen address\n");
        return 2;
    }
    bool fpsOk = false;
    const int fps = parser.value(fpsOption).toInt(&fpsOk);
    if (!fpsOk || fps < 1 || fps > 100) {
        std::fprintf(stderr, "robotsim: --fps must be 1 to 100\n");
        return 2;
    }

    bool timeoutOk = false;
    const double driveTimeout = parser.value(driveTimeoutOption).toDouble(&timeoutOk);
    if (!timeoutOk || !(driveTimeout >= 0 && driveTimeout <= 3600)) {
        std::fprintf(stderr, "robotsim: --drive-timeout must be 0 to 3600 seconds\n");
        return 2;
    }

    RobotSimulator simulator;
    simulator.setFps(fps);
    simulator.setStampTime(parser.isSet(stampOption));
    simulator.setDriveTimeout(static_cast<int>(std::ceil(driveTimeout * 1000)));
    QObject::connect(&simulator, &RobotSimulator::driveTimedOut, [](int ms) {
        std::printf("robotsim: no set-point for %d ms: robot stopped\n", ms);
        std::fflush(stdout);
    });
    if (parser.isSet(recordOption) && !simulator.setRecordFile(parser.value(recordOption))) {
        std::fprintf(stderr, "robotsim: cannot open the record file\n");
        return 1;
    }
    if (!simulator.listen(address, port)) {
        std::fprintf(stderr, "robotsim: cannot listen on %s\n",
                     qPrintable(parser.value(listenOption)));
        return 1;
    }
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app, &QCoreApplication::quit);
    simulator.start();
    std::printf("robotsim listening on %s:%u\n", qPrintable(address.toString()),
                static_cast<unsigned>(simulator.serverPort()));
    std::fflush(stdout);
    return app.exec();
}
