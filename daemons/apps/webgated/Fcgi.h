#pragma once

#include <QByteArray>
#include <QImage>
#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>

#include "frame/RequestProcessor.h"
#include "settings/ComponentRestarts.h"
#include "settings/ConfigPageBuilder.h"

/// The request thread and the long-lived state the commands share. Built on the main thread;
/// its own thread only runs the request loop.
class ControlHandler;
class ImageHandler;
class SensorDataHandler;

class Fcgi : public QThread {
    Q_OBJECT
public:
    Fcgi();
    ~Fcgi() override;

    /// Ends the request loop: unblocks the accept, lets a request in progress finish, joins.
    void stop();

    /// The transport-free half of the loop: query text in, response bytes out.
    QByteArray processRequest(const char* queryString) const { return m_processor->process(queryString); }

    /// Replaces the command table (tests).
    void setCommandTable(CommandTable table);

    /// True when the whole name consists of letters, digits, "_", "-" and ".".
    bool isValidFilename(const QString& name) const;

    ImageHandler* imageHandler() const { return m_imageHandler; }
    SensorDataHandler* sensorDataHandler() const { return m_sensorDataHandler; }
    ControlHandler* controlHandler() const { return m_controlHandler; }
    const QByteArray& noCamPng() const { return m_noCamPng; }
    bool isNoCamLoaded() const { return m_noCamLoaded; }
    QString interpreterPath() const { return m_interpreterPath; }
    /// The settings page; only the request thread uses it once the thread runs.
    ConfigPageBuilder& configPageBuilder() { return m_configPageBuilder; }
    ComponentRestarts& componentRestarts() { return m_componentRestarts; }

    /// How many requests the loop has served (for tests and diagnostics).
    quint64 requestCount() const { return m_requestCount.load(); }

public Q_SLOTS:
    void on_clientConnected();
    void on_clientDisconnected();

protected:
    void run() override;

private:
    void prepareProgramStore();

    ImageHandler* m_imageHandler = nullptr;  // no Qt parent: released by ~Fcgi after the thread ends
    SensorDataHandler* m_sensorDataHandler = nullptr;  // Qt child
    ControlHandler* m_controlHandler = nullptr;        // Qt child
    QImage m_noCamImage;
    QByteArray m_noCamPng;
    bool m_noCamLoaded = false;
    QString m_currentProgram;
    QString m_interpreterPath;
    ConfigPageBuilder m_configPageBuilder;
    ComponentRestarts m_componentRestarts;
    std::unique_ptr<RequestProcessor> m_processor;
    std::atomic<quint64> m_requestCount{0};
};
