#include "Fcgi.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/Client.h"
#include "base/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "network/NetworkChange.h"
#include "process/ScriptRunner.h"
#include "robot/ControlHandler.h"
#include "robot/ImageHandler.h"
#include "robot/ImageStreams.h"
#include "robot/SensorDataHandler.h"
#include "base/DaemonLog.h"

using kel::corvanta::daemons::Log;

namespace {

// The picture getimage sends while there is no camera frame: served as the file has it.
constexpr qint64 kMaxPngBytes = 4 * 1024 * 1024;

/// A PNG file's bytes; empty when the file cannot be read, is larger than kMaxPngBytes or does
/// not begin with the PNG signature and an image header chunk.
QByteArray readPng(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    QByteArray bytes = file.read(kMaxPngBytes + 1);
    static const char kStart[] = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR";  // signature, 13-byte IHDR
    const int startBytes = sizeof(kStart) - 1;
    if (bytes.size() > kMaxPngBytes || bytes.size() < startBytes + 13 + 4 ||
        memcmp(bytes.constData(), kStart, startBytes) != 0) {
        return QByteArray();
    }
    return bytes;
}


}  // namespace

Fcgi::Fcgi(CommandTable commands) {
    // Handlers: image, sensor data, control (in this order).
    m_imageHandler = new ImageHandler();
    m_sensorDataHandler = new SensorDataHandler(this);
    m_controlHandler = new ControlHandler(this);
    Client* client = Client::singleton();
    client->setTopicsEnabled(true);

    unsigned int check = 0;
    if (!connect(client, &Client::is_connected, this, &Fcgi::on_clientConnected)) check |= 0x1;
    if (!connect(client, &Client::is_disconnected, this, &Fcgi::on_clientDisconnected)) check |= 0x2;
    SensorDataHandler* sensors = m_sensorDataHandler;
    if (!connect(client, &Client::distance_sensors_changed, sensors,
                 &SensorDataHandler::on_distance_sensors_changed)) {
        check |= 0x8;
    }
    if (!connect(client, &Client::bumper_changed, sensors, &SensorDataHandler::on_bumper_changed)) {
        check |= 0x10;
    }
    if (!connect(client, &Client::battery_changed, sensors, &SensorDataHandler::on_battery_changed)) {
        check |= 0x20;
    }
    if (!connect(client, &Client::charger0_info_changed, sensors,
                 &SensorDataHandler::on_charger0_info_changed)) {
        check |= 0x40;
    }
    if (!connect(client, &Client::charger1_info_changed, sensors,
                 &SensorDataHandler::on_charger1_info_changed)) {
        check |= 0x80;
    }
    if (!connect(client, &Client::charger2_info_changed, sensors,
                 &SensorDataHandler::on_charger2_info_changed)) {
        check |= 0x100;
    }
    if (!connect(client, &Client::digital_input_changed, sensors,
                 &SensorDataHandler::on_digitalinput_changed)) {
        check |= 0x1000;
    }
    if (!connect(client, &Client::analog_input_changed, sensors,
                 &SensorDataHandler::on_analoginput_changed)) {
        check |= 0x2000;
    }
    if (!connect(client, &Client::set_digital_output_array_changed, sensors,
                 &SensorDataHandler::on_digitaloutput_changed)) {
        check |= 0x4000;
    }
    if (!connect(client, &Client::set_relay_array_changed, sensors,
                 &SensorDataHandler::on_relay_changed)) {
        check |= 0x8000;
    }
    if (!connect(client, &Client::charger0_version_changed, sensors,
                 &SensorDataHandler::on_charger0_version_info_changed)) {
        check |= 0x10000;
    }
    if (!connect(client, &Client::charger1_version_changed, sensors,
                 &SensorDataHandler::on_charger1_version_info_changed)) {
        check |= 0x20000;
    }
    if (!connect(client, &Client::charger2_version_changed, sensors,
                 &SensorDataHandler::on_charger2_version_info_changed)) {
        check |= 0x40000;
    }
    if (check != 0) {
        daemonLog(QStringLiteral("ERROR:SOME SIGNAL-SLOT CONNECT FAILED! connectionCheckCode = %1").arg(check), 0);
    }

    m_noCamPng = readPng(QStringLiteral("./resources/nocam.png"));
    // Camera streams are fed in the request thread: a frame is encoded there, once for all.
    m_imageStreams = new ImageStreams(*m_imageHandler, m_noCamPng, [this](std::function<void()> work) {
        m_connections.post(0, [work = std::move(work)](Response&) { work(); });
    });
    m_connections.setOpenReplyEnded([this](unsigned long long ticket) { m_processor->streamEnded(ticket); });

    m_programStore.prepare(client->getParameter(QStringLiteral("~/Flowdesk/programpath"),
                                                QStringLiteral("/home/corvanta/programs"))
                               .toString());
    m_interpreterPath = client->getParameter(QStringLiteral("~/Flowdesk/path"),
                                             QStringLiteral("/usr/local/Flowdesk2/bin/flowdesk2_interpreter"))
                            .toString();

    m_configPageBuilder.setINI_DIR(client->getParameter(QStringLiteral("~/ConfigPage/directories"),
                                                        QStringLiteral("/opt/taviron/etc;/etc/corvanta"))
                                       .toString()
                                       .split(QLatin1Char(';'), Qt::SkipEmptyParts));
    m_configPageBuilder.rebuild();

    // A network change left pending by the last run gets the rest of its time, or is undone.
    m_networkChange = new NetworkChange(*ScriptRunner::singleton(), this);
    m_networkChange->resume();

    m_context.reset(new CommandContext{*m_imageStreams, *m_sensorDataHandler, *m_controlHandler, m_noCamPng,
                                       m_interpreterPath, m_currentProgram, m_programStore, m_configPageBuilder,
                                       m_componentRestarts, *m_networkChange, m_packageListing, *this});
    setCommandTable(std::move(commands));
}

Fcgi::~Fcgi() {
    if (!shutdown()) wait();
    // Handlers that are Qt children go with QObject's destructor; the image handler here.
    delete m_imageStreams;
    m_imageStreams = nullptr;
    delete m_imageHandler;
    m_imageHandler = nullptr;
}

void Fcgi::setCommandTable(CommandTable table) {
    m_processor.reset(new RequestProcessor(*m_context, std::move(table), m_worker, m_connections));
}

void Fcgi::on_clientConnected() {
    Client::singleton()->setTopicsEnabled(true);
    if (m_wasConnected.exchange(true)) m_robotReconnects.fetch_add(1, std::memory_order_relaxed);
    m_robotConnected.store(true, std::memory_order_relaxed);
}

void Fcgi::on_clientDisconnected() { m_robotConnected.store(false, std::memory_order_relaxed); }

qint64 Fcgi::loopAgeMs() const { return m_connections.loopAgeMs(); }

void Fcgi::run() {
    m_loopFailed = false;
    // Only standard input can be a CGI environment; a socket systemd handed over never is.
    if (m_listenFd == 0 && FcgiConnections::isCgi(0)) {
        // Started without a listening socket: serve the one request of the environment.
        const RequestHeaders headers = RequestHeaders::fromEnvironment(environ);
        if (!FcgiConnections::writeCgiReply(m_processor->process(headers.query, headers), stdout)) {
            daemonLog(QStringLiteral("ERROR: the reply could not be written to standard output"), 0);
        }
        return;
    }
    // Process signals go to the main thread, which handles them. They stay blocked here for good;
    // a handler that starts a program unblocks them around the start.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    // The thread serves requests as they come and never needs to run before the task that woke
    // it: waking it does not preempt the web server in the middle of writing the request, which
    // would cost two thread switches per request instead of one. The main thread keeps its policy.
    const sched_param batch = {};
    if (pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch) != 0) {
        daemonLog(QStringLiteral("the request thread keeps its scheduling policy: SCHED_BATCH is not allowed"), 1);
    }
    FcgiConnections::Limits limits;
    limits.requestMs = m_readTimeoutMs.load();
    QString failure;
    Q_EMIT serving();
    const bool served = m_connections.serve(
        m_listenFd, limits,
        [this](const fcgi::Params& params, Response& response) {
            const RequestHeaders headers = RequestHeaders::fromEnvironment(params.environment());
            m_processor->process(headers.query, headers, response, m_query);
            ++m_requestCount;
        },
        &failure);
    if (!served) failLoop(failure);
}

void Fcgi::failLoop(const QString& reason) {
    daemonLog(QStringLiteral("ERROR: the request loop ended, no more requests are served: ") + reason, 0);
    m_loopFailed = true;
    Q_EMIT requestLoopFailed();
}

bool Fcgi::shutdown(int graceMs) {
    QElapsedTimer clock;
    clock.start();
    // Work not started yet is dropped and a package listing ends now (answered Failed); work in
    // progress gets the grace time to finish and be answered.
    m_worker.stop(0);
    m_packageListing.cancel();
    if (!stop(graceMs)) return false;
    const auto left = [&clock, graceMs] { return int(std::max<qint64>(0, graceMs - clock.elapsed())); };
    const bool workEnded = m_worker.stop(left());
    return m_packageListing.stop(left()) && workEnded;
}

bool Fcgi::stop(int graceMs) {
    if (isRunning()) {
        // Half a second of the grace is left for the thread to end once the replies are out.
        m_connections.requestStop(std::max(0, graceMs - 500));
        if (!wait(static_cast<unsigned long>(graceMs))) return false;
    }
    // The thread has ended: a stop request it did not see must not end the next run.
    m_connections.rearm();
    return true;
}
