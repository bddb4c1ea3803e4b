#include "Fcgi.h"

#include <errno.h>
#include <fastcgi.h>
#include <fcgiapp.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "CommandTable.h"
#include "frame/Client.h"
#include "frame/FsRoot.h"
#include "kel/corvanta/daemons/Log.h"
#include "robot/ControlHandler.h"
#include "robot/ImageHandler.h"
#include "robot/SensorDataHandler.h"

using kel::corvanta::daemons::Log;

namespace {

void log(const QString& text, int level) { Log::singleton()->log(text, level); }

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

// Everyone may store programs; the sticky bit lets only an entry's owner (and root) rename or
// delete it, so no one swaps another's program for a link between our check and its use, and
// the kernel's protected_symlinks keeps root from following another user's link there.
constexpr mode_t kStoreMode = S_ISVTX | 0777;

// The store folder itself, never through a link at its own name: a link planted there would
// hand the mode to whatever it points at.
void setStoreMode(const QString& programDir) {
    const int fd = ::open(QFile::encodeName(programDir).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 || ::fchmod(fd, kStoreMode) != 0) {
        log(QStringLiteral("ERROR: Cannot set the mode of ") + FsRoot::robotPath(programDir) +
                QStringLiteral(" (not a folder, or a link): programs may be swapped in it"),
            0);
    }
    if (fd >= 0) ::close(fd);
}

// How long an answered connection waits for the web server's own close, so that nothing it
// still sends turns the close into a reset that could cost it the response.
constexpr int kLingerMs = 1000;
// After the grace time, how long stop() waits for the abandoned request to give up.
constexpr int kAbandonWaitMs = 500;

// The largest record content that needs no padding (a multiple of 8, as libfcgi writes them).
constexpr size_t kRecordContent = 65528;
// Gathered pieces per write.
constexpr int kWriteBatch = 64;

void putRecordHeader(unsigned char* header, int type, int requestId, size_t length, size_t padding) {
    header[0] = FCGI_VERSION_1;
    header[1] = static_cast<unsigned char>(type);
    header[2] = static_cast<unsigned char>(requestId >> 8);
    header[3] = static_cast<unsigned char>(requestId);
    header[4] = static_cast<unsigned char>(length >> 8);
    header[5] = static_cast<unsigned char>(length);
    header[6] = static_cast<unsigned char>(padding);
    header[7] = 0;
}

// Accept errors that concern one connection only; anything else ends the loop for good.
bool isTemporaryAcceptError(int error) {
    switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EPERM:
            return true;
        default:
            return false;
    }
}

}  // namespace

/// One connection from the web server. libfcgi reads and writes through a duplicate of the
/// descriptor, which it may close on its own when the connection fails; the original stays
/// open until the loop closes it, so stop() never shuts down a descriptor number reused since.
struct Fcgi::Connection {
    int fd = -1;
    FCGX_Request request;
    quint64 lastUsed = 0;
    // Answered and shut down for writing: closed once the web server has closed its end, at
    // the latest at this time of the loop's clock (ms; 0 while the connection serves requests).
    qint64 closeBy = 0;
};

Fcgi::Fcgi()
    : m_processor(new RequestProcessor(*this, webgatedCommands())),
      m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_wakeFd < 0) qFatal("Couldn't create the request loop's eventfd");
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

    m_noCamPng = readPng(QStringLiteral("./resources/nocam.png"));
    m_noCamLoaded = !m_noCamPng.isEmpty();

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
    if (!stop()) wait();
    ::close(m_wakeFd);
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
        if (!QDir::root().mkpath(programDir)) {
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
    if (QFileInfo(programDir).isDir()) setStoreMode(programDir);
    m_programStore.remember();
}

void Fcgi::setCommandTable(CommandTable table) {
    m_processor.reset(new RequestProcessor(*this, std::move(table)));
}

bool Fcgi::isValidFilename(const QString& name) const { return ProgramStore::isValidFileName(name); }

void Fcgi::on_clientConnected() {
    Client::singleton()->setTopicsEnabled(true);
    if (m_wasConnected.exchange(true)) m_robotReconnects.fetch_add(1, std::memory_order_relaxed);
    m_robotConnected.store(true, std::memory_order_relaxed);
}

void Fcgi::on_clientDisconnected() { m_robotConnected.store(false, std::memory_order_relaxed); }

namespace {

qint64 monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The loop turns at least this often, so that a health check can tell it lives.
constexpr int kMaxPollMs = 1000;

}  // namespace

qint64 Fcgi::loopAgeMs() const {
    const qint64 last = m_lastTurnMs.load(std::memory_order_relaxed);
    return last < 0 ? -1 : monotonicMs() - last;
}

void Fcgi::run() {
    m_loopFailed = false;
    if (FCGX_Init() != 0) {
        failLoop(QStringLiteral("the FastCGI library cannot be initialised"));
        return;
    }
    // Only standard input can be a CGI environment; a socket systemd handed over never is.
    if (m_listenFd == 0 && FCGX_IsCGI()) {
        // Started without a listening socket: serve the one request of the environment.
        const RequestHeaders headers = RequestHeaders::fromEnvironment(environ);
        const QByteArray response = m_processor->process(headers.query, headers);
        std::fwrite(response.constData(), 1, static_cast<size_t>(response.size()), stdout);
        std::fflush(stdout);
        return;
    }
    serveConnections();
}

void Fcgi::serveConnections() {
    // Readiness comes from poll; the accept itself must never block.
    const int flags = ::fcntl(m_listenFd, F_GETFL);
    if (flags < 0 || ::fcntl(m_listenFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        failLoop(QStringLiteral("the listening socket is unusable: ") +
                 QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    // Process signals go to the main thread: taking this one, they would cut a socket read or
    // write short (with a time limit set on the socket, the kernel does not restart it). They
    // stay blocked here for good; a handler that starts a program unblocks them around the start.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    // The thread serves requests as they come and never needs to run before the task that woke
    // it: waking it does not preempt the web server in the middle of writing the request, which
    // would cost two thread switches per request instead of one. The main thread keeps its policy.
    const sched_param batch = {};
    if (pthread_setschedparam(pthread_self(), SCHED_BATCH, &batch) != 0) {
        log(QStringLiteral("the request thread keeps its scheduling policy: SCHED_BATCH is not allowed"), 1);
    }
    quint64 turn = 0;  // stamps connections by last use
    QElapsedTimer clock;
    clock.start();
    Buffers buffers;   // reused from request to request

    // Whichever connection has a request ready is served, one request at a time, so a
    // connection the web server keeps open between requests never starves the others.
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    std::vector<Connection*> ready;
    m_lastTurnMs.store(monotonicMs(), std::memory_order_relaxed);
    Q_EMIT serving();
    while (!m_stopping.load()) {
        m_lastTurnMs.store(monotonicMs(), std::memory_order_relaxed);
        m_openConnections.store(static_cast<int>(connections.size()), std::memory_order_relaxed);
        fds.clear();
        fds.push_back({m_wakeFd, POLLIN, 0});
        fds.push_back({m_listenFd, POLLIN, 0});
        int timeoutMs = kMaxPollMs;  // or until the first answered connection must be closed
        for (const auto& connection : connections) {
            fds.push_back({connection->fd, POLLIN, 0});
            if (connection->closeBy == 0) continue;
            const int left = static_cast<int>(std::max<qint64>(0, connection->closeBy - clock.elapsed()));
            timeoutMs = std::min(timeoutMs, left);
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            failLoop(QStringLiteral("poll failed: ") +
                     QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        if (fds[0].revents != 0) break;

        ready.clear();
        const qint64 now = clock.elapsed();
        for (size_t i = 2; i < fds.size(); ++i) {
            Connection* connection = connections[i - 2].get();
            if (fds[i].revents != 0 || (connection->closeBy != 0 && now >= connection->closeBy)) {
                ready.push_back(connection);
            }
        }
        for (Connection* connection : ready) {
            if (connection->closeBy != 0) {
                // The web server closes a connection it did not ask to keep once it has the
                // response; nothing it still sends can then turn the close into a reset.
                if (!hasPeerClosed(connection->fd) && clock.elapsed() < connection->closeBy) continue;
            } else {
                if (m_stopping.load()) break;
                connection->lastUsed = ++turn;
                const Outcome outcome = serveRequest(*connection, buffers);
                if (outcome == Outcome::Keep) continue;
                if (outcome == Outcome::Answered) {
                    // Not waited for here: the loop goes on serving and closes it later.
                    ::shutdown(connection->fd, SHUT_WR);
                    connection->closeBy = clock.elapsed() + kLingerMs;
                    continue;
                }
            }
            // Closed by the web server, past its time, or the peer closed, stalled or failed.
            closeConnection(*connection);
            connections.erase(
                std::find_if(connections.begin(), connections.end(),
                             [connection](const auto& c) { return c.get() == connection; }));
        }

        if (fds[1].revents & POLLNVAL) {
            failLoop(QStringLiteral("the listening socket is closed"));
            break;
        }
        if (fds[1].revents != 0 && !m_stopping.load() && !acceptConnection(connections, ++turn)) break;
    }
    for (const auto& connection : connections) closeConnection(*connection);
    m_openConnections.store(0, std::memory_order_relaxed);
    m_lastTurnMs.store(-1, std::memory_order_relaxed);
}

bool Fcgi::hasPeerClosed(int fd) {
    char discard[4096];
    for (int i = 0; i < 16; ++i) {
        const ssize_t n = ::recv(fd, discard, sizeof(discard), MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    }
    return false;
}

bool Fcgi::acceptConnection(std::vector<std::unique_ptr<Connection>>& connections, quint64 turn) {
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (isTemporaryAcceptError(error)) return true;
        failLoop(QStringLiteral("accept failed: ") + QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    // A peer that stops sending in the middle of its request, or stops reading its response,
    // gives up the request thread after the limit instead of holding it for ever.
    timeval limit = {};
    limit.tv_sec = m_readTimeoutMs / 1000;
    limit.tv_usec = (m_readTimeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    const int libraryFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (libraryFd < 0) {
        ::close(fd);
        // Out of descriptors: the connections already open are still served.
        return true;
    }
    if (static_cast<int>(connections.size()) >= kMaxConnections) {
        // Answered connections go first, then the least recently used.
        auto oldest = std::min_element(connections.begin(), connections.end(), [](const auto& a, const auto& b) {
            return std::make_pair(a->closeBy == 0, a->lastUsed) < std::make_pair(b->closeBy == 0, b->lastUsed);
        });
        closeConnection(**oldest);
        connections.erase(oldest);
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    FCGX_InitRequest(&connection->request, -1, 0);
    connection->request.ipcFd = libraryFd;
    connection->lastUsed = turn;
    connections.push_back(std::move(connection));
    return true;
}

Fcgi::Outcome Fcgi::serveRequest(Connection& connection, Buffers& buffers) {
    FCGX_Request& request = connection.request;
    if (request.ipcFd < 0) return Outcome::Failed;
    setBusy(connection.fd);
    // The loop decides when a connection ends: libfcgi neither closes it after the request nor
    // lingers on a failed one. With no listening socket of its own, a failure returns at once.
    request.keepConnection = 1;
    request.detached = 1;
    if (FCGX_Accept_r(&request) < 0) {
        setBusy(-1);
        return Outcome::Failed;
    }
    const bool keep = request.keepConnection != 0;
    // The request's parameters are read from its own block, never through the process
    // environment, which the main thread uses at the same time.
    const RequestHeaders headers = RequestHeaders::fromEnvironment(request.envp);
    m_processor->process(headers.query, headers, buffers.response, buffers.query);
    const bool written = writeReply(request.ipcFd, request.requestId, buffers.response);
    buffers.response.body = QByteArray();  // an old frame is not held until the next request
    // The reply went out whole, end records included: libfcgi only releases the request.
    request.keepConnection = 1;
    FCGX_Free(&request, 0);
    ++m_requestCount;
    setBusy(-1);
    if (!written) return Outcome::Failed;
    return keep ? Outcome::Keep : Outcome::Answered;
}

bool Fcgi::writeReply(int fd, int requestId, const Response& response) {
    // The reply's bytes (the head, then the body) in records of at most kRecordContent bytes,
    // then the end of the stream and the end of the request, gathered into as few writes as the
    // socket takes. A raw body, such as a camera frame, goes out from its own buffer.
    struct Part {
        const char* data;
        size_t size;
    };
    const Part parts[2] = {{response.head.data(), response.head.size()},
                           {response.body.constData(), static_cast<size_t>(response.body.size())}};
    static const unsigned char kPadding[8] = {};
    iovec pieces[kWriteBatch];
    unsigned char headers[kWriteBatch][FCGI_HEADER_LEN];
    int count = 0;
    int headerCount = 0;
    bool ok = true;
    auto flush = [&] {
        ok = ok && sendAll(fd, pieces, count);
        count = 0;
        headerCount = 0;
    };
    auto add = [&](const void* data, size_t size) {
        if (count == kWriteBatch) flush();
        pieces[count++] = {const_cast<void*>(data), size};
    };
    auto addHeader = [&](int type, size_t length, size_t padding) {
        if (count == kWriteBatch) flush();
        putRecordHeader(headers[headerCount], type, requestId, length, padding);
        add(headers[headerCount++], FCGI_HEADER_LEN);
    };

    size_t left = parts[0].size + parts[1].size;
    size_t part = 0;
    size_t offset = 0;
    while (left > 0 && ok) {
        const size_t length = std::min(left, kRecordContent);
        const size_t padding = (8 - length % 8) % 8;
        addHeader(FCGI_STDOUT, length, padding);
        for (size_t need = length; need > 0;) {
            while (offset == parts[part].size) {
                ++part;
                offset = 0;
            }
            const size_t chunk = std::min(need, parts[part].size - offset);
            add(parts[part].data + offset, chunk);
            offset += chunk;
            need -= chunk;
        }
        if (padding > 0) add(kPadding, padding);
        left -= length;
    }
    addHeader(FCGI_STDOUT, 0, 0);
    addHeader(FCGI_END_REQUEST, sizeof(FCGI_EndRequestBody), 0);
    static const FCGI_EndRequestBody kComplete = {0, 0, 0, 0, FCGI_REQUEST_COMPLETE, {0, 0, 0}};
    add(&kComplete, sizeof(kComplete));
    flush();
    return ok;
}

bool Fcgi::sendAll(int fd, iovec* pieces, int count) {
    QElapsedTimer sinceProgress;
    sinceProgress.start();
    msghdr message = {};
    message.msg_iov = pieces;
    message.msg_iovlen = static_cast<size_t>(count);
    while (message.msg_iovlen > 0) {
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            // A web server that stops reading its response gives up the request thread after
            // the limit instead of holding it for ever.
            const qint64 left = m_readTimeoutMs - sinceProgress.elapsed();
            pollfd p = {fd, POLLOUT, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            continue;
        }
        sinceProgress.restart();
        size_t done = static_cast<size_t>(sent);
        while (message.msg_iovlen > 0 && done >= message.msg_iov->iov_len) {
            done -= message.msg_iov->iov_len;
            ++message.msg_iov;
            --message.msg_iovlen;
        }
        if (message.msg_iovlen > 0) {
            message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + done;
            message.msg_iov->iov_len -= done;
        }
    }
    return true;
}

void Fcgi::closeConnection(Connection& connection) {
    FCGX_Free(&connection.request, 0);
    if (connection.request.ipcFd >= 0) ::close(connection.request.ipcFd);
    connection.request.ipcFd = -1;
    ::close(connection.fd);
    connection.fd = -1;
}

void Fcgi::setBusy(int fd) {
    std::lock_guard<std::mutex> lock(m_busyMutex);
    m_busyFd = fd;
}

void Fcgi::failLoop(const QString& reason) {
    log(QStringLiteral("ERROR: the request loop ended, no more requests are served: ") + reason, 0);
    m_loopFailed = true;
    Q_EMIT requestLoopFailed();
}

bool Fcgi::stop(int graceMs) {
    if (!isRunning()) {
        rearm();
        return true;
    }
    m_stopping = true;
    const quint64 one = 1;
    const ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    (void)written;  // a full counter still wakes the loop
    if (!wait(static_cast<unsigned long>(graceMs))) {
        {
            // A request still being read or served is abandoned: its connection is shut down,
            // which ends any read or write the request thread is blocked in.
            std::lock_guard<std::mutex> lock(m_busyMutex);
            if (m_busyFd >= 0) ::shutdown(m_busyFd, SHUT_RDWR);
        }
        if (!wait(kAbandonWaitMs)) return false;
    }
    rearm();
    return true;
}

void Fcgi::rearm() {
    // The thread has ended: a stop request it did not see must not end the next run.
    quint64 count = 0;
    const ssize_t got = ::read(m_wakeFd, &count, sizeof(count));
    (void)got;
    m_stopping = false;
}
