#include "transport/FcgiConnections.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "transport/FcgiConnection.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

constexpr size_t kSpareConnections = 8;
constexpr int kAcceptPauseMs = 100;  // out of descriptors: the open connections go on meanwhile

// Accept errors that concern one connection only.
bool isTemporaryAcceptError(int error) {
    switch (error) {
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

bool isOutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

/// One run of serve(): the connections open, and the clock their times are kept on.
class FcgiConnections::Run {
public:
    Run(FcgiConnections& owner, int listenFd, const Limits& limits, const Handler& handler)
        : m_owner(owner), m_listenFd(listenFd), m_shared(limits, handler, owner.m_parked) {
        m_owner.m_maxParked.store(limits.maxParked, std::memory_order_relaxed);
        m_shared.openReplyEnded = owner.m_openReplyEnded;
        m_shared.replacedParts = &owner.m_replacedParts;
        m_clock.start();
    }
    bool serve(QString* failure);

private:
    bool acceptConnection(qint64 now, QString* failure);
    void deliverPosted(qint64 now);
    void finish();
    // Closed connections are kept for the next ones, with their buffers.
    void release(std::unique_ptr<FcgiConnection> connection) {
        connection->close();
        if (m_spare.size() < kSpareConnections) m_spare.push_back(std::move(connection));
    }

    FcgiConnections& m_owner;
    const int m_listenFd;
    FcgiShared m_shared;
    QElapsedTimer m_clock;
    std::vector<std::unique_ptr<FcgiConnection>> m_connections;
    std::vector<std::unique_ptr<FcgiConnection>> m_spare;
    std::vector<pollfd> m_fds;
    qint64 m_acceptPausedUntil = 0;
    bool m_toldOutOfResources = false;
};

namespace {

qint64 monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The loop turns at least this often, so that a health check can tell it lives.
constexpr qint64 kMaxWaitMs = 1000;

}  // namespace

qint64 FcgiConnections::loopAgeMs() const {
    const qint64 last = m_lastTurnMs.load(std::memory_order_relaxed);
    return last < 0 ? -1 : monotonicMs() - last;
}

bool FcgiConnections::Run::serve(QString* failure) {
    while (!m_owner.m_stopping.load()) {
        m_owner.m_lastTurnMs.store(monotonicMs(), std::memory_order_relaxed);
        m_owner.m_open.store(static_cast<int>(m_connections.size()), std::memory_order_relaxed);
        qint64 now = m_clock.elapsed();
        // When every connection waits for a reply that comes later, none is closed for a new
        // one: that waits in the listening socket's backlog until one is answered. With fewer
        // parked than connections (the limits' usual case) this never happens.
        const bool full =
            int(m_connections.size()) >= m_shared.limits.maxConnections &&
            m_owner.m_parked.load(std::memory_order_relaxed) == int(m_connections.size());
        const bool accepting = now >= m_acceptPausedUntil && !full;
        qint64 wakeAt = accepting ? -1 : m_acceptPausedUntil;
        m_fds.clear();
        m_fds.push_back({m_owner.m_wakeFd, POLLIN, 0});
        m_fds.push_back({accepting ? m_listenFd : -1, POLLIN, 0});
        for (const auto& c : m_connections) {
            m_fds.push_back({c->fd(), c->pollEvents(), 0});
            const qint64 at = c->wakeAt(now);
            if (at) wakeAt = wakeAt < 0 ? at : std::min(wakeAt, at);
        }
        if (wakeAt < 0 || wakeAt > now + kMaxWaitMs) wakeAt = now + kMaxWaitMs;
        const int timeoutMs = int(std::max<qint64>(0, wakeAt - now));
        if (::poll(m_fds.data(), m_fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            *failure = QStringLiteral("poll failed: ") + QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (m_fds[0].revents != 0) {
            if (m_owner.m_stopping.load()) break;
            m_owner.takeWakeUp();  // a reply was posted
        }
        now = m_clock.elapsed();
        // Each connection moves as far as it can without waiting; none waits for another.
        size_t kept = 0;
        for (size_t i = 0; i < m_connections.size(); ++i) {
            if (m_connections[i]->step(m_fds[i + 2].revents, now)) {
                std::swap(m_connections[kept++], m_connections[i]);
            } else {
                release(std::move(m_connections[i]));
            }
        }
        m_connections.resize(kept);
        deliverPosted(now);
        if (m_fds[1].revents & POLLNVAL) {
            *failure = QStringLiteral("the listening socket is closed");
            return false;
        }
        if (m_fds[1].revents != 0 && !acceptConnection(now, failure)) return false;
    }
    finish();
    m_owner.m_open.store(0, std::memory_order_relaxed);
    m_owner.m_lastTurnMs.store(-1, std::memory_order_relaxed);
    return true;
}

bool FcgiConnections::Run::acceptConnection(qint64 now, QString* failure) {
    // One per turn: a second accept would mostly find nothing, and poll tells when there is more.
    const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (wouldBlock(error) || isTemporaryAcceptError(error)) return true;
        if (isOutOfResources(error)) {
            if (!m_toldOutOfResources) {
                m_toldOutOfResources = true;
                Log::singleton()->log(QStringLiteral("FastCGI connections wait: ") +
                                          QString::fromLocal8Bit(std::strerror(error)),
                                      1);
            }
            m_acceptPausedUntil = now + kAcceptPauseMs;
            return true;
        }
        *failure = QStringLiteral("accept failed: ") + QString::fromLocal8Bit(std::strerror(error));
        return false;
    }
    if (int(m_connections.size()) >= m_shared.limits.maxConnections) {
        // Room is made by the connection that costs least: lingering, then idle, then one in the
        // middle of a request, the least recently used first; one with a reply to send last.
        auto victim = std::min_element(m_connections.begin(), m_connections.end(), [](const auto& a, const auto& b) {
            return std::make_pair(a->evictionRank(), a->lastUsed()) < std::make_pair(b->evictionRank(), b->lastUsed());
        });
        release(std::move(*victim));
        m_connections.erase(victim);
    }
    std::unique_ptr<FcgiConnection> connection;
    if (m_spare.empty()) {
        connection = std::make_unique<FcgiConnection>(m_shared);
    } else {
        connection = std::move(m_spare.back());
        m_spare.pop_back();
    }
    connection->open(fd);
    // The web server writes its request as soon as it has connected: it is read now, not after
    // another poll.
    if (connection->step(POLLIN, now)) {
        m_connections.push_back(std::move(connection));
    } else {
        release(std::move(connection));
    }
    return true;
}

void FcgiConnections::Run::deliverPosted(qint64 now) {
    if (!m_owner.m_hasPosted.load()) return;
    std::vector<Posted> posted;
    {
        std::lock_guard<std::mutex> lock(m_owner.m_postedMutex);
        posted.swap(m_owner.m_posted);
        m_owner.m_hasPosted = false;
    }
    for (Posted& p : posted) {
        m_shared.response.clear();
        p.reply(m_shared.response);  // its log lines and figures, whether its connection is there or not
        const auto parked = p.ticket == 0 ? m_connections.end()
                                          : std::find_if(m_connections.begin(), m_connections.end(),
                                                         [&p](const auto& c) { return c->ticket() == p.ticket; });
        if (parked != m_connections.end() && !(*parked)->deliver(now)) {
            release(std::move(*parked));
            m_connections.erase(parked);
        }
        m_shared.response.body = QByteArray();
    }
}

void FcgiConnections::Run::finish() {
    // Replies already made go out, and those still to come are awaited, for a bounded time;
    // nothing else is read.
    m_owner.takeWakeUp();  // the stop's
    const qint64 flushBy = m_clock.elapsed() + m_owner.m_flushMs.load();
    for (;;) {
        deliverPosted(m_clock.elapsed());
        // Parts already posted have gone out; every open reply ends as it was told to.
        for (auto& c : m_connections) {
            if (c->isStreaming() && !c->endOpenReply(m_clock.elapsed())) c.reset();
        }
        m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), nullptr), m_connections.end());
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const auto& c) { return !c->hasOutput() && !c->isParked(); }),
                            m_connections.end());  // closed as they go
        const qint64 left = flushBy - m_clock.elapsed();
        if (m_connections.empty() || left <= 0) break;
        m_fds.clear();
        m_fds.push_back({m_owner.m_wakeFd, POLLIN, 0});
        for (const auto& c : m_connections) m_fds.push_back({c->fd(), short(c->hasOutput() ? POLLOUT : 0), 0});
        if (::poll(m_fds.data(), m_fds.size(), int(left)) < 0 && errno != EINTR) break;
        if (m_fds[0].revents != 0) m_owner.takeWakeUp();
        for (size_t i = 0; i < m_connections.size(); ++i) {
            if (m_fds[i + 1].revents != 0 && m_connections[i]->hasOutput() &&
                !m_connections[i]->flush(m_clock.elapsed())) {
                m_connections[i].reset();
            }
        }
        m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), nullptr), m_connections.end());
    }
    const auto waiting = std::count_if(m_connections.begin(), m_connections.end(),
                                       [](const auto& c) { return c->isParked(); });
    if (waiting > 0) {
        Log::singleton()->log(QStringLiteral("%1 requests whose replies were still to come get none: the daemon stops")
                                  .arg(waiting),
                              1);
    }
    m_connections.clear();  // closed: none counts as parked any more
}

FcgiConnections::FcgiConnections() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (m_wakeFd < 0) qFatal("Couldn't create the request loop's eventfd");
}

FcgiConnections::~FcgiConnections() { ::close(m_wakeFd); }

bool FcgiConnections::serve(int listenFd, const Limits& limits, const Handler& handler, QString* failure) {
    // Readiness comes from poll; the accept itself must never block.
    const int flags = ::fcntl(listenFd, F_GETFL);
    if (flags < 0 || ::fcntl(listenFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        *failure = QStringLiteral("the listening socket is unusable: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // The run is large (its read buffer): not on the thread's stack.
    auto run = std::make_unique<Run>(*this, listenFd, limits, handler);
    return run->serve(failure);
}

void FcgiConnections::requestStop(int flushMs) {
    m_flushMs = flushMs;
    m_stopping = true;
    const quint64 one = 1;
    const ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    (void)written;  // a full counter still wakes the loop
}

void FcgiConnections::post(unsigned long long ticket, Reply reply) {
    {
        std::lock_guard<std::mutex> lock(m_postedMutex);
        m_posted.push_back({ticket, std::move(reply)});
        m_hasPosted = true;
    }
    const quint64 one = 1;
    const ssize_t written = ::write(m_wakeFd, &one, sizeof(one));
    (void)written;  // a full counter still wakes the loop
}

void FcgiConnections::takeWakeUp() {
    quint64 count = 0;
    const ssize_t got = ::read(m_wakeFd, &count, sizeof(count));
    (void)got;  // nothing to take is fine: the descriptor does not block
}

void FcgiConnections::rearm() {
    takeWakeUp();
    m_stopping = false;
}

bool FcgiConnections::isCgi(int fd) {
    // A listening socket has no peer; anything else (a terminal, a pipe, a file) is CGI.
    sockaddr_storage address = {};
    socklen_t length = sizeof(address);
    return !(::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 && errno == ENOTCONN);
}

bool FcgiConnections::writeCgiReply(const QByteArray& response, FILE* out) {
    if (response.isEmpty()) return std::fflush(out) == 0;
    const size_t size = static_cast<size_t>(response.size());
    const bool written = std::fwrite(Response::kGuardHeaders, 1, Response::kGuardHeadersLength, out) ==
                             Response::kGuardHeadersLength &&
                         std::fwrite(response.constData(), 1, size, out) == size;
    return std::fflush(out) == 0 && written;
}
