#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>

#include "transport/FcgiConnections.h"
#include "system/PackageListing.h"
#include "request/RequestProcessor.h"
#include "request/Worker.h"
#include "programs/ProgramStore.h"
#include "settings/ComponentRestarts.h"
#include "settings/ConfigPageBuilder.h"
#include "CommandContext.h"

/// The request thread and the long-lived state the commands share. Built on the main thread;
/// its own thread only runs the request loop: FcgiConnections reads the requests and writes the
/// replies, the RequestProcessor turns each request into its reply through the command table.
class ControlHandler;
class ImageHandler;
class ImageStreams;
class NetworkChange;
class SensorDataHandler;

class Fcgi : public QThread {
    Q_OBJECT
public:
    /// `commands` is the table the requests are dispatched through.
    explicit Fcgi(CommandTable commands);
    ~Fcgi() override;

    /// How long stop() lets a request in progress finish before it gives up on it.
    static constexpr int kStopGraceMs = 2500;
    /// A request must be complete this long after its first byte, and a reply must move within
    /// it; else that connection is dropped.
    static constexpr int kReadTimeoutMs = 10000;

    /// Ends the request loop: a request in progress finishes and the replies made so far are
    /// written (within `graceMs`). True when the thread has ended; false when a handler still
    /// runs (the caller must not destroy this object).
    bool stop(int graceMs = kStopGraceMs);

    /// Ends the daemon's request handling for good: the loop as stop() does, the work in the
    /// worker thread and a package listing (its tool killed), all within `graceMs`. True when
    /// every thread has ended; false when work still runs (the caller must not destroy this
    /// object).
    bool shutdown(int graceMs = kStopGraceMs);

    /// True when the request loop ended for good on an error (logged at level 0).
    bool hasLoopFailed() const { return m_loopFailed.load(); }
    /// True from the start of stop() until the loop has ended.
    bool isStopping() const { return m_connections.isStopping(); }

    /// Before start(): the listening socket to serve (default 0, standard input).
    void setListenFd(int fd) { m_listenFd = fd; }

    /// Replaces the read limit for the runs that start afterwards (tests).
    void setReadTimeoutMs(int ms) { m_readTimeoutMs = ms; }

    /// The transport-free half of the loop: query text in, response bytes out.
    QByteArray processRequest(const char* queryString, const RequestHeaders& headers = RequestHeaders()) const {
        return m_processor->process(queryString, headers);
    }

    /// Replaces the command table (tests).
    void setCommandTable(CommandTable table);
    const CommandTable& commandTable() const { return m_processor->table(); }

    /// What every handler gets: the parts of the daemon the commands share.
    CommandContext& context() { return *m_context; }
    const CommandContext& context() const { return *m_context; }

    /// Parts of camera streams a newer part replaced before the web server took them.
    unsigned long long replacedStreamParts() const { return m_connections.replacedParts(); }

    /// How many requests the loop has served (for tests and diagnostics).
    quint64 requestCount() const { return m_requestCount.load(); }
    /// Requests by command and outcome, and their durations (request thread counts).
    const RequestMetrics& requestMetrics() const { return m_processor->metrics(); }

    /// Health, any thread: milliseconds since the request loop last turned (it turns at least
    /// once a second while it serves; -1 when it does not run), the connections it holds open,
    /// whether the robot is connected, and how often it came back after a loss.
    qint64 loopAgeMs() const;
    int openConnections() const { return m_connections.openConnections(); }
    int parkedConnections() const { return m_connections.parkedConnections(); }
    bool isRobotConnected() const { return m_robotConnected.load(std::memory_order_relaxed); }
    quint64 robotReconnects() const { return m_robotReconnects.load(std::memory_order_relaxed); }

Q_SIGNALS:
    /// The request loop cannot go on (no FastCGI library, or accept failed for good).
    void requestLoopFailed();
    /// The request loop serves its listening socket (emitted by the request thread, once a run).
    void serving();

public Q_SLOTS:
    void on_clientConnected();
    void on_clientDisconnected();

protected:
    void run() override;

private:
    void failLoop(const QString& reason);

    ImageHandler* m_imageHandler = nullptr;  // no Qt parent: released by ~Fcgi after the thread ends
    ImageStreams* m_imageStreams = nullptr;  // released by ~Fcgi before the image handler
    SensorDataHandler* m_sensorDataHandler = nullptr;  // Qt child
    ControlHandler* m_controlHandler = nullptr;        // Qt child
    NetworkChange* m_networkChange = nullptr;          // Qt child
    QByteArray m_noCamPng;
    QString m_currentProgram;
    QString m_interpreterPath;
    ProgramStore m_programStore;
    ConfigPageBuilder m_configPageBuilder;
    ComponentRestarts m_componentRestarts;
    std::unique_ptr<CommandContext> m_context;
    std::unique_ptr<RequestProcessor> m_processor;
    std::atomic<quint64> m_requestCount{0};
    QByteArray m_query;  // the request thread's decoded query, kept from request to request

    FcgiConnections m_connections;
    int m_listenFd = 0;
    std::atomic<bool> m_loopFailed{false};
    std::atomic<int> m_readTimeoutMs{kReadTimeoutMs};
    std::atomic<bool> m_robotConnected{false};
    std::atomic<bool> m_wasConnected{false};  // main thread
    std::atomic<quint64> m_robotReconnects{0};
    // Last: they end before anything their work uses goes.
    Worker m_worker;  // handlers that may block (the disk, a local socket)
    PackageListing m_packageListing;
};
