#include "frame/FcgiConnections.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

constexpr size_t kReadBytes = 65536;     // at most one read of this size per connection and turn
constexpr size_t kMaxParams = 1 << 20;   // far above any web server's own header limits
constexpr int kAcceptsPerTurn = 16;
constexpr int kAcceptPauseMs = 100;      // out of descriptors: the open connections go on meanwhile
constexpr size_t kKeptBufferBytes = 64 * 1024;

const char kTooLarge[] =
    "Status: 413 Payload Too Large\r\nContent-type: text/html\r\n\r\n"
    "{\"TYPE\":\"ERR\",\"MSG\":\"REQUEST BODY TOO LARGE\"}";

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

// Whether the web server sends a body after the parameters: until its end arrives the request is
// not complete. Any other request is answered at the end of its parameters; a body it still
// sends is read and thrown away.
bool expectsBody(const fcgi::Params& params) {
    const char* length = params.value("CONTENT_LENGTH");
    if (length && std::strtoll(length, nullptr, 10) > 0) return true;
    const char* method = params.value("REQUEST_METHOD");
    return method && (std::strcmp(method, "POST") == 0 || std::strcmp(method, "PUT") == 0 ||
                      std::strcmp(method, "PATCH") == 0);
}

// Text from the peer for a log line: printable and short.
QString printable(const char* text) {
    QString out = QString::fromLatin1(text ? text : "", text ? int(strnlen(text, 200)) : 0);
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('?');
    }
    return out;
}

struct Connection {
    // Where the request on the connection is: being read (parameters, then body), complete and
    // waiting for its reply, or answered (what still arrives for it is read and ignored).
    enum Phase { None, Params, Body, Ready, Answered };

    int fd = -1;
    unsigned long long lastUsed = 0;
    std::string in;  // bytes read and not yet taken as records, from inStart on
    size_t inStart = 0;
    Phase phase = None;
    int id = 0;
    bool keep = false;
    bool stdinEnded = false;
    bool tooLarge = false;
    bool peerClosed = false;
    bool replyPending = false;  // a reply is (partly) in `out`
    bool closeNow = false;
    long long bodyBytes = 0;
    fcgi::Params params;
    std::string out;  // what the socket did not take yet, from outStart on
    size_t outStart = 0;
    qint64 deadline = 0;  // the request in progress is dropped at this time of the loop's clock
    qint64 writeBy = 0;   // the reply must have moved by then
    qint64 closeBy = 0;   // shut down for writing: closed when the peer closes, at the latest then

    size_t buffered() const { return in.size() - inStart; }
    bool hasOutput() const { return outStart < out.size(); }
    bool hasWholeRecord() const {
        if (buffered() < fcgi::kHeaderLength) return false;
        fcgi::Header header;
        return !fcgi::readHeader(reinterpret_cast<const unsigned char*>(in.data()) + inStart, header) ||
               buffered() >= header.recordLength();
    }
    // Nothing of a request is on its way: no deadline runs.
    bool atRest() const {
        return buffered() == 0 && (phase == None || (phase == Answered && !(tooLarge && !stdinEnded)));
    }
    // How readily it is closed to make room: lingering, idle, in a request, with a reply to send.
    int evictionRank() const { return closeBy ? 0 : atRest() && !hasOutput() ? 1 : hasOutput() ? 3 : 2; }
};

}  // namespace

class FcgiConnections::Run {
public:
    Run(FcgiConnections& owner, int listenFd, const Limits& limits, const Handler& handler)
        : m_owner(owner), m_listenFd(listenFd), m_limits(limits), m_handler(handler) {
        m_clock.start();
    }
    ~Run() {
        for (const auto& connection : m_connections) ::close(connection->fd);
    }
    bool serve(QString* failure);

private:
    bool step(Connection& c, short revents, qint64 now);
    bool readSome(Connection& c, qint64 now);
    bool parse(Connection& c, qint64 now);
    bool handle(Connection& c, const fcgi::Header& h, const char* content, qint64 now);
    void management(Connection& c, const fcgi::Header& h, const char* content, qint64 now);
    void serveRequest(Connection& c, qint64 now);
    void afterReply(Connection& c, qint64 now);
    bool send(Connection& c, qint64 now);
    void queue(Connection& c, const std::string& bytes, qint64 now);
    bool flush(Connection& c, qint64 now);
    bool acceptConnections(qint64 now, QString* failure);
    void finish();
    bool drop(Connection& c, const QString& reason) {
        c.closeNow = true;
        Log::singleton()->log(QStringLiteral("FastCGI connection dropped: ") + reason, 2);
        return false;
    }

    FcgiConnections& m_owner;
    const int m_listenFd;
    const Limits m_limits;
    const Handler& m_handler;
    QElapsedTimer m_clock;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<pollfd> m_fds;
    unsigned long long m_turn = 0;  // stamps connections by last use
    qint64 m_acceptPausedUntil = 0;
    bool m_toldOutOfResources = false;
    Response m_response;  // reused from request to request
    std::vector<iovec> m_pieces;
    std::vector<fcgi::HeaderBytes> m_headers;
    char m_readBuffer[kReadBytes];
};

bool FcgiConnections::Run::serve(QString* failure) {
    while (!m_owner.m_stopping.load()) {
        qint64 now = m_clock.elapsed();
        const bool accepting = now >= m_acceptPausedUntil;
        qint64 wakeAt = accepting ? -1 : m_acceptPausedUntil;
        m_fds.clear();
        m_fds.push_back({m_owner.m_wakeFd, POLLIN, 0});
        m_fds.push_back({accepting ? m_listenFd : -1, POLLIN, 0});
        for (const auto& c : m_connections) {
            const short events = c->closeBy ? POLLIN : c->hasOutput() ? POLLOUT : c->peerClosed ? 0 : POLLIN;
            m_fds.push_back({c->fd, events, 0});
            for (const qint64 at : {c->deadline, c->writeBy, c->closeBy}) {
                if (at) wakeAt = wakeAt < 0 ? at : std::min(wakeAt, at);
            }
            // Records already read wait for their turn: no waiting for the socket then.
            if (!c->closeBy && !c->hasOutput() && c->hasWholeRecord()) wakeAt = now;
        }
        const int timeoutMs = wakeAt < 0 ? -1 : int(std::max<qint64>(0, wakeAt - now));
        if (::poll(m_fds.data(), m_fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            *failure = QStringLiteral("poll failed: ") + QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (m_fds[0].revents != 0) break;
        now = m_clock.elapsed();
        // Each connection moves as far as it can without waiting; none waits for another.
        for (size_t i = 0; i < m_connections.size(); ++i) {
            Connection& c = *m_connections[i];
            if (!step(c, m_fds[i + 2].revents, now)) {
                ::close(c.fd);
                c.fd = -1;
            }
        }
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const auto& c) { return c->fd < 0; }),
                            m_connections.end());
        if (m_fds[1].revents & POLLNVAL) {
            *failure = QStringLiteral("the listening socket is closed");
            return false;
        }
        if (m_fds[1].revents != 0 && !acceptConnections(now, failure)) return false;
    }
    finish();
    return true;
}

bool FcgiConnections::Run::step(Connection& c, short revents, qint64 now) {
    if (c.closeBy) {
        // Answered and shut down for writing: what the web server still sends is read and
        // dropped, so that closing cannot turn into a reset that costs it the reply.
        for (int i = 0; revents != 0 && i < 16; ++i) {
            const ssize_t n = ::recv(c.fd, m_readBuffer, sizeof(m_readBuffer), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EINTR && !wouldBlock(errno))) return false;
            if (n < 0 && wouldBlock(errno)) break;
        }
        return now < c.closeBy;
    }
    if (c.hasOutput()) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) && !flush(c, now)) return false;
        if (c.hasOutput()) {
            if (now < c.writeBy) return true;
            return drop(c, QStringLiteral("a reply was not taken for %1 ms").arg(m_limits.requestMs));
        }
        if (c.closeNow) return false;
        if (c.closeBy) return true;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && !c.peerClosed && !readSome(c, now)) return false;
    if (!parse(c, now) || c.closeNow) return false;
    if (c.closeBy) return true;
    if (c.atRest()) {
        c.deadline = 0;
    } else if (c.deadline == 0) {
        c.deadline = now + m_limits.requestMs;
    } else if (now >= c.deadline) {
        return drop(c, QStringLiteral("a request was not complete %1 ms after its first byte").arg(m_limits.requestMs));
    }
    // The web server closed its end: nothing more will come, and a reply in progress is sent.
    return !c.peerClosed || c.hasOutput() || c.hasWholeRecord();
}

bool FcgiConnections::Run::readSome(Connection& c, qint64 now) {
    const ssize_t n = ::recv(c.fd, m_readBuffer, sizeof(m_readBuffer), MSG_DONTWAIT);
    if (n < 0) return errno == EINTR || wouldBlock(errno);
    if (n == 0) {
        c.peerClosed = true;
        return true;
    }
    if (c.inStart == c.in.size()) {
        c.in.clear();
        c.inStart = 0;
    }
    c.in.append(m_readBuffer, size_t(n));
    // A request must be complete this long after its first byte, however slowly the rest comes.
    if (c.deadline == 0) c.deadline = now + m_limits.requestMs;
    c.lastUsed = ++m_turn;
    return true;
}

bool FcgiConnections::Run::parse(Connection& c, qint64 now) {
    while (!c.hasOutput() && !c.closeNow && !c.closeBy && c.buffered() >= fcgi::kHeaderLength) {
        fcgi::Header h;
        if (!fcgi::readHeader(reinterpret_cast<const unsigned char*>(c.in.data()) + c.inStart, h)) {
            return drop(c, QStringLiteral("a record of another protocol or version"));
        }
        if (c.buffered() < h.recordLength()) break;
        if (!handle(c, h, c.in.data() + c.inStart + fcgi::kHeaderLength, now)) return false;
        c.inStart += h.recordLength();
        if (c.phase == Connection::Ready) {
            // The end of its body often follows at once: taken first, so that the request is
            // known to be read whole when it is answered.
            fcgi::Header next;
            if (!c.tooLarge && c.hasWholeRecord() &&
                fcgi::readHeader(reinterpret_cast<const unsigned char*>(c.in.data()) + c.inStart, next) &&
                next.type == fcgi::kStdin && next.requestId == c.id) {
                continue;
            }
            serveRequest(c, now);
            break;  // one request per connection and turn: the others get theirs in between
        }
        if (c.phase == Connection::Answered && c.tooLarge && c.stdinEnded && !c.hasOutput()) afterReply(c, now);
    }
    if (c.inStart == c.in.size()) {
        c.in.clear();
        c.inStart = 0;
        if (c.in.capacity() > kKeptBufferBytes) std::string().swap(c.in);
    } else if (c.inStart >= kReadBytes) {
        c.in.erase(0, c.inStart);
        c.inStart = 0;
    }
    return true;
}

bool FcgiConnections::Run::handle(Connection& c, const fcgi::Header& h, const char* content, qint64 now) {
    if (h.requestId == 0) {
        management(c, h, content, now);
        return true;
    }
    switch (h.type) {
        case fcgi::kBeginRequest: {
            if (h.contentLength != 8) return drop(c, QStringLiteral("a malformed request start"));
            if (c.phase == Connection::Params || c.phase == Connection::Body) {
                if (h.requestId == c.id) return drop(c, QStringLiteral("a request started again before its end"));
                // One request at a time on a connection; the web server may send another elsewhere.
                queue(c, fcgi::endRequest(h.requestId, fcgi::kCantMultiplex), now);
                return true;
            }
            const int role = (static_cast<unsigned char>(content[0]) << 8) | static_cast<unsigned char>(content[1]);
            if (role != fcgi::kResponder) {
                queue(c, fcgi::endRequest(h.requestId, fcgi::kUnknownRole), now);
                return true;
            }
            c.phase = Connection::Params;
            c.id = h.requestId;
            c.keep = (static_cast<unsigned char>(content[2]) & fcgi::kKeepConnection) != 0;
            c.stdinEnded = false;
            c.tooLarge = false;
            c.bodyBytes = 0;
            c.params.clear();
            return true;
        }
        case fcgi::kParams:
            if (h.requestId != c.id || c.phase != Connection::Params) return true;
            if (h.contentLength == 0) {
                if (!c.params.decode()) return drop(c, QStringLiteral("malformed request parameters"));
                c.tooLarge = c.bodyBytes > m_limits.maxBody;
                c.phase = c.stdinEnded || c.tooLarge || !expectsBody(c.params) ? Connection::Ready : Connection::Body;
                return true;
            }
            if (c.params.size() + h.contentLength > kMaxParams) {
                return drop(c, QStringLiteral("request parameters of more than %1 bytes").arg(kMaxParams));
            }
            c.params.append(content, h.contentLength);
            return true;
        case fcgi::kStdin:
            if (h.requestId != c.id || c.phase == Connection::None) return true;
            if (h.contentLength == 0) {
                c.stdinEnded = true;
                if (c.phase == Connection::Body) c.phase = Connection::Ready;
                return true;
            }
            c.bodyBytes += static_cast<long long>(h.contentLength);
            if (c.phase == Connection::Body && c.bodyBytes > m_limits.maxBody) {
                c.tooLarge = true;
                c.phase = Connection::Ready;
            }
            return true;
        case fcgi::kAbortRequest:
            if (h.requestId == c.id && c.phase != Connection::None && c.phase != Connection::Answered) {
                // Nothing is left to answer: the request ends without a reply.
                c.phase = Connection::Answered;
                c.stdinEnded = true;
                c.tooLarge = false;
                c.replyPending = true;
                queue(c, fcgi::endRequest(c.id, fcgi::kRequestComplete), now);
                if (!c.hasOutput()) {
                    c.replyPending = false;
                    afterReply(c, now);
                }
            }
            return true;
        default:
            // A responder takes no other records of a request (FCGI_DATA, a peer's own output,
            // types it does not know): they are read and ignored.
            return true;
    }
}

void FcgiConnections::Run::management(Connection& c, const fcgi::Header& h, const char* content, qint64 now) {
    if (h.type != fcgi::kGetValues) {
        queue(c, fcgi::record(fcgi::kUnknownType, 0, std::string(1, char(h.type)) + std::string(7, '\0')), now);
        return;
    }
    fcgi::Params names;
    names.append(content, h.contentLength);
    if (!names.decode()) return;
    std::string values;
    for (const char* const* entry = names.environment(); *entry; ++entry) {
        const std::string name(*entry, std::strchr(*entry, '=') - *entry);
        if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS") {
            values += fcgi::nameValue(name, std::to_string(m_limits.maxConnections));
        } else if (name == "FCGI_MPXS_CONNS") {
            values += fcgi::nameValue(name, "0");
        }
    }
    queue(c, fcgi::record(fcgi::kGetValuesResult, 0, values), now);
}

void FcgiConnections::Run::serveRequest(Connection& c, qint64 now) {
    c.phase = Connection::Answered;
    c.lastUsed = ++m_turn;
    m_response.clear();
    if (c.tooLarge) {
        m_response.head = kTooLarge;
        Log::singleton()->log(QStringLiteral("REQUEST BODY TOO LARGE (more than %1 bytes): ").arg(m_limits.maxBody) +
                                  printable(c.params.value("QUERY_STRING")),
                              2);
    } else {
        m_handler(c.params, m_response);
    }
    m_pieces.clear();
    fcgi::addReply(c.id, m_response.head, m_response.body.constData(), size_t(m_response.body.size()), m_pieces,
                   m_headers);
    c.replyPending = true;
    if (!send(c, now)) {
        c.closeNow = true;
    } else if (!c.hasOutput()) {
        c.replyPending = false;
        afterReply(c, now);
    }
    m_response.body = QByteArray();  // an old frame is not held until the next request
    c.params.clear();
}

void FcgiConnections::Run::afterReply(Connection& c, qint64 now) {
    // A body too large is read to its end before the connection goes.
    if (c.tooLarge && !c.stdinEnded) return;
    if (c.keep && !c.tooLarge) return;
    if (!c.keep && c.stdinEnded && c.buffered() == 0) {
        // Read whole: closing now cannot reset anything the web server still sends.
        c.closeNow = true;
        return;
    }
    ::shutdown(c.fd, SHUT_WR);
    c.closeBy = now + m_limits.lingerMs;
}

bool FcgiConnections::Run::send(Connection& c, qint64 now) {
    size_t first = 0;
    if (!c.hasOutput()) {
        while (first < m_pieces.size()) {
            msghdr message = {};
            message.msg_iov = &m_pieces[first];
            message.msg_iovlen = std::min<size_t>(m_pieces.size() - first, IOV_MAX);
            const ssize_t sent = ::sendmsg(c.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EINTR) continue;
                if (wouldBlock(errno)) break;
                return false;
            }
            for (size_t done = size_t(sent); first < m_pieces.size() && done > 0;) {
                iovec& piece = m_pieces[first];
                const size_t taken = std::min(done, piece.iov_len);
                piece.iov_base = static_cast<char*>(piece.iov_base) + taken;
                piece.iov_len -= taken;
                done -= taken;
                if (piece.iov_len == 0) ++first;
            }
        }
        if (first == m_pieces.size()) return true;
        c.writeBy = now + m_limits.requestMs;
        c.out.clear();
        c.outStart = 0;
    }
    // The socket is full: what it did not take waits with the connection.
    for (size_t i = first; i < m_pieces.size(); ++i) {
        c.out.append(static_cast<const char*>(m_pieces[i].iov_base), m_pieces[i].iov_len);
    }
    return true;
}

void FcgiConnections::Run::queue(Connection& c, const std::string& bytes, qint64 now) {
    m_pieces.assign(1, {const_cast<char*>(bytes.data()), bytes.size()});
    if (!send(c, now)) c.closeNow = true;
}

bool FcgiConnections::Run::flush(Connection& c, qint64 now) {
    while (c.hasOutput()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.outStart, c.out.size() - c.outStart, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return wouldBlock(errno);
        }
        c.outStart += size_t(n);
        c.writeBy = now + m_limits.requestMs;
    }
    c.out.clear();
    c.outStart = 0;
    if (c.out.capacity() > kKeptBufferBytes) std::string().swap(c.out);
    if (c.replyPending) {
        c.replyPending = false;
        afterReply(c, now);
    }
    return true;
}

bool FcgiConnections::Run::acceptConnections(qint64 now, QString* failure) {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            const int error = errno;
            if (wouldBlock(error)) return true;
            if (isTemporaryAcceptError(error)) continue;
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
        if (int(m_connections.size()) >= m_limits.maxConnections) {
            // Room is made by the connection that costs least: lingering, then idle, then one in
            // the middle of a request, the least recently used first; one with a reply to send last.
            auto victim = std::min_element(m_connections.begin(), m_connections.end(), [](const auto& a, const auto& b) {
                return std::make_pair(a->evictionRank(), a->lastUsed) < std::make_pair(b->evictionRank(), b->lastUsed);
            });
            ::close((*victim)->fd);
            m_connections.erase(victim);
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->lastUsed = ++m_turn;
        m_connections.push_back(std::move(connection));
    }
    return true;
}

void FcgiConnections::Run::finish() {
    // Replies already made go out, for a bounded time; nothing else is read.
    const qint64 flushBy = m_clock.elapsed() + m_owner.m_flushMs.load();
    for (;;) {
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const auto& c) {
                                               if (c->hasOutput()) return false;
                                               ::close(c->fd);
                                               return true;
                                           }),
                            m_connections.end());
        const qint64 left = flushBy - m_clock.elapsed();
        if (m_connections.empty() || left <= 0) return;  // the rest is closed by ~Run
        m_fds.clear();
        for (const auto& c : m_connections) m_fds.push_back({c->fd, POLLOUT, 0});
        if (::poll(m_fds.data(), m_fds.size(), int(left)) < 0 && errno != EINTR) return;
        for (size_t i = 0; i < m_connections.size(); ++i) {
            Connection& c = *m_connections[i];
            if (m_fds[i].revents != 0 && !flush(c, m_clock.elapsed())) c.out.clear();
            c.outStart = std::min(c.outStart, c.out.size());
        }
    }
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

void FcgiConnections::rearm() {
    quint64 count = 0;
    const ssize_t got = ::read(m_wakeFd, &count, sizeof(count));
    (void)got;
    m_stopping = false;
}

bool FcgiConnections::isCgi(int fd) {
    // A listening socket has no peer; anything else (a terminal, a pipe, a file) is CGI.
    sockaddr_storage address = {};
    socklen_t length = sizeof(address);
    return !(::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 && errno == ENOTCONN);
}
