#include "Fcgi.h"

#include <fcgiapp.h>
#include <sys/socket.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "CommandTable.h"
#include "robot/ControlHandler.h"
#include "robot/ImageHandler.h"
#include "robot/SensorDataHandler.h"
#include "frame/Client.h"
#include "frame/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

void log(const QString& text, int level) { Log::singleton()->log(text, level); }

const QFileDevice::Permissions kAllPermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
    QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

}  // namespace

Fcgi::Fcgi() : m_processor(new RequestProcessor(*this, webgatedCommands())) {
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
        log(QStringLiteral("ERROR:SOME SIGNAL-SLOT CONNECT FAILED! connectionCheckCode = %1").arg(check), 0);
    }

    m_noCamLoaded = m_noCamImage.load(QStringLiteral("./resources/nocam.png"));
    if (m_noCamLoaded) {
        QBuffer buffer(&m_noCamPng);
        buffer.open(QIODevice::WriteOnly);
        m_noCamImage.save(&buffer, "PNG");
    }

    prepareProgramStore();
    m_interpreterPath = client->getParameter(QStringLiteral("~/Flowdesk/path"),
                                             QStringLiteral("/usr/local/Flowdesk2/bin/flowdesk2_interpreter"))
                            .toString();

    m_configPageBuilder.setINI_DIR(client->getParameter(QStringLiteral("~/ConfigPage/directories"),
                                                        QStringLiteral("/opt/taviron/etc;/etc/corvanta"))
                                       .toString()
                                       .split(QLatin1Char(';'), Qt::SkipEmptyParts));
    m_configPageBuilder.rebuild();
}

Fcgi::~Fcgi() {
    stop();
    // Handlers that are Qt children go with QObject's destructor; the image handler here.
    delete m_imageHandler;
    m_imageHandler = nullptr;
}

void Fcgi::prepareProgramStore() {
    const QString programPath = Client::singleton()
                                    ->getParameter(QStringLiteral("~/Flowdesk/programpath"),
                                                   QStringLiteral("/home/corvanta/programs"))
                                    .toString();
    const QString programDir = FsRoot::fsPath(programPath);
    const QFileInfo programInfo(programDir);
    if (!programInfo.exists()) {
        if (QDir::root().mkpath(programDir)) {
            QFile::setPermissions(programDir, kAllPermissions);
        } else {
            log("ERROR: Cannot Create path " + programPath + " to save flowdesk programs!", 0);
        }
    } else if (!programInfo.isDir()) {
        log("ERROR: " + programPath + " already exists and is not a folder!", 0);
    }

    const QString link = FsRoot::fsPath(QStringLiteral("/var/www/programs"));
    const QFileInfo linkInfo(link);
    // A dangling link is replaced as well: left alone it would block the new link for good.
    if (linkInfo.exists() || linkInfo.isSymLink()) {
        log(QStringLiteral("Symbolic /var/www/programs already exists. Will delete it and create a new one."), 0);
        if (!QFile::remove(link)) log(QStringLiteral("ERROR: Cannot delete symbolic link \"/var/www/programs\""), 0);
    }
    if (!QFile::link(programDir, link)) {
        log(QStringLiteral("ERROR: Cannot create symbolic link \"/var/www/programs\""), 0);
    }
    QFile::setPermissions(link, kAllPermissions);
}

void Fcgi::setCommandTable(CommandTable table) {
    m_processor.reset(new RequestProcessor(*this, std::move(table)));
}

bool Fcgi::isValidFilename(const QString& name) const {
    // Anchored at the very end: a plain "$" would also accept a trailing line feed.
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[_a-zA-Z0-9\\-\\.]+")));
    return pattern.match(name).hasMatch();
}

void Fcgi::on_clientConnected() { Client::singleton()->setTopicsEnabled(true); }

void Fcgi::on_clientDisconnected() {}

void Fcgi::run() {
    if (FCGX_Init() != 0) return;
    if (FCGX_IsCGI()) {
        // Started without a listening socket: serve the one request of the environment.
        const QByteArray response = processRequest(std::getenv("QUERY_STRING"));
        std::fwrite(response.constData(), 1, static_cast<size_t>(response.size()), stdout);
        std::fflush(stdout);
        return;
    }
    // The request's parameters are read from its own block, never through the process
    // environment, which the main thread uses at the same time.
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    while (FCGX_Accept_r(&request) >= 0) {
        const QByteArray response = processRequest(FCGX_GetParam("QUERY_STRING", request.envp));
        if (!response.isEmpty()) FCGX_PutStr(response.constData(), response.size(), request.out);
        FCGX_Finish_r(&request);
        ++m_requestCount;
    }
    FCGX_Free(&request, 1);
}

void Fcgi::stop() {
    if (!isRunning()) return;
    // Unblocks FCGX_Accept_r; a request being served still completes before the loop sees it.
    ::shutdown(0, SHUT_RDWR);
    wait();
}
