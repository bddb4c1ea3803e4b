#include "transport/FcgiConnection.h"

#include <errno.h>
#include <limits.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "kel/corvanta/daemons/Log.h"
#include "base/TextChecks.h"

using kel::corvanta::daemons::Log;

namespace {

constexpr size_t kMaxParams = 1 << 20;  // far above any web server's own header limits

const char kTooLarge[] =
    "Status: 413 Payload Too Large\r\nContent-type: text/html\r\n\r\n"
    "{\"TYPE\":\"ERR\",\"MSG\":\"REQUEST BODY TOO LARGE\"}";

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// While the peer has not read the last part whole, the next waits with the connection (where a
// newer one replaces it) and the socket is looked at again this often.
constexpr qint64 kStreamRecheckMs = 10;

// Unique for the life of the process: a reply posted for a request of an earlier run of the
// loop never finds a connection of a later one.
std::atomic<unsigned long long> g_tickets{0};

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


}  // namespace

void FcgiConnection::open(int fd) {
    m_fd = fd;
    m_lastUsed = ++m_shared.turn;
    m_in.clear();
    m_inStart = 0;
    setPhase(None);
    m_id = 0;
    m_keep = m_stdinEnded = m_tooLarge = m_peerClosed = m_replyPending = m_closeNow = false;
    m_bodyBytes = 0;
    m_params.clear();
    m_out.clear();
    m_outStart = 0;
    m_waiting.clear();
    m_closing.clear();
    m_deadline = m_writeBy = m_closeBy = 0;
    m_ticket = 0;
    m_parkedUntil = 0;
}

void FcgiConnection::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    setPhase(None);  // a reply that comes later finds nobody
    // Kept for the next connection: without what a large request made them grow to.
    m_params.clear();
    for (std::string* buffer : {&m_in, &m_out, &m_waiting}) {
        if (buffer->capacity() > fcgi::kKeptBufferBytes) std::string().swap(*buffer);
    }
}

size_t FcgiConnection::heldBytes() const {
    return m_in.capacity() + m_out.capacity() + m_waiting.capacity() + m_params.capacity();
}

void FcgiConnection::setPhase(Phase phase) {
    // An open reply waits like a parked one: both hold a connection for as long as they last.
    const bool waited = m_phase == Parked || m_phase == Streaming;
    const bool waits = phase == Parked || phase == Streaming;
    if (waited != waits) {
        // Only the serving thread writes it: a plain read and store, seen by others at once.
        m_shared.parked.store(m_shared.parked.load(std::memory_order_relaxed) + (waits ? 1 : -1),
                              std::memory_order_relaxed);
    }
    const bool streamEnds = m_phase == Streaming && phase != Streaming;
    m_phase = phase;
    if (streamEnds) leaveStream();
}

void FcgiConnection::leaveStream() {
    m_waiting.clear();
    if (m_waiting.capacity() > fcgi::kKeptBufferBytes) std::string().swap(m_waiting);
    if (m_shared.openReplyEnded) m_shared.openReplyEnded(m_ticket);
}

bool FcgiConnection::hasWholeRecord() const {
    if (buffered() < fcgi::kHeaderLength) return false;
    fcgi::Header header;
    return !fcgi::readHeader(reinterpret_cast<const unsigned char*>(m_in.data()) + m_inStart, header) ||
           buffered() >= header.recordLength();
}

qint64 FcgiConnection::wakeAt(qint64 now) const {
    if (!m_closeBy && !hasOutput() && hasWholeRecord()) return now;
    qint64 at = 0;
    const bool waits = m_phase == Parked || m_phase == Streaming;
    const bool sending = hasOutput() || !m_waiting.empty();
    const qint64 recheck = !hasOutput() && !m_waiting.empty() ? m_recheckAt : 0;
    for (const qint64 t : {m_deadline, sending ? m_writeBy : 0, m_closeBy, waits ? m_parkedUntil : 0, recheck}) {
        if (t && (!at || t < at)) at = t;
    }
    return at;
}

bool FcgiConnection::drop(const QString& reason) {
    m_closeNow = true;
    Log::singleton()->log(QStringLiteral("FastCGI connection dropped: ") + reason, 2);
    return false;
}

bool FcgiConnection::step(short revents, qint64 now) {
    if (m_closeBy) {
        // Answered and shut down for writing: what the web server still sends is read and
        // dropped, so that closing cannot turn into a reset that costs it the reply.
        for (int i = 0; revents != 0 && i < 16; ++i) {
            const ssize_t n = ::recv(m_fd, m_shared.readBuffer, sizeof(m_shared.readBuffer), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EINTR && !wouldBlock(errno))) return false;
            if (n < 0 && wouldBlock(errno)) break;
        }
        return now < m_closeBy;
    }
    if (m_phase == Streaming) {
        if (!stepStream(revents, now)) return false;
        if (m_phase == Streaming) return true;
    }
    if (hasOutput()) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) && !flush(now)) return false;
        if (hasOutput()) {
            if (now < m_writeBy) return true;
            return drop(QStringLiteral("a reply was not taken for %1 ms").arg(m_shared.limits.requestMs));
        }
        if (m_closeNow) return false;
        if (m_closeBy) return true;
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && !m_peerClosed && !readSome(now)) return false;
    if (!parse(now) || m_closeNow) return false;
    if (m_closeBy) return true;
    if (m_phase == Parked) {
        m_deadline = 0;
        if (m_peerClosed && !hasOutput()) {
            Log::singleton()->log(QStringLiteral("FastCGI connection closed by the web server before its reply"), 2);
            return false;
        }
        if (now < m_parkedUntil) return true;
        return drop(QStringLiteral("a reply did not come within %1 ms").arg(m_shared.limits.parkedMs));
    }
    if (atRest()) {
        m_deadline = 0;
    } else if (m_deadline == 0) {
        m_deadline = now + m_shared.limits.requestMs;
    } else if (now >= m_deadline) {
        return drop(QStringLiteral("a request was not complete %1 ms after its first byte").arg(m_shared.limits.requestMs));
    }
    // The web server closed its end: nothing more will come, and a reply in progress is sent.
    return !m_peerClosed || hasOutput() || hasWholeRecord();
}

bool FcgiConnection::stepStream(short revents, qint64 now) {
    const auto left = [] {
        Log::singleton()->log(QStringLiteral("An open reply ended: the web server closed its connection"), 3);
        return false;
    };
    const bool recheck = !hasOutput() && !m_waiting.empty() && now >= m_recheckAt;
    if (((revents & (POLLOUT | POLLERR | POLLHUP)) && hasOutput()) || recheck) {
        if (!flush(now)) return left();
    }
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && !m_peerClosed && !readSome(now)) return left();
    // What the peer sends meanwhile (an abort) is taken even while a part is on its way.
    if (!parse(now) || m_closeNow) return false;
    if (m_phase != Streaming) return true;  // aborted: on as any answered request
    m_deadline = 0;
    if (m_peerClosed) return left();
    // A peer that reads keeps its reply open however long it lasts; one that takes nothing does not.
    if ((hasOutput() || !m_waiting.empty()) && now >= m_writeBy) {
        return drop(QStringLiteral("a part of an open reply was not taken for %1 ms").arg(m_shared.limits.requestMs));
    }
    if (now >= m_parkedUntil) {
        return drop(QStringLiteral("an open reply got no part for %1 ms").arg(m_shared.limits.parkedMs));
    }
    return true;
}

bool FcgiConnection::readSome(qint64 now) {
    const ssize_t n = ::recv(m_fd, m_shared.readBuffer, sizeof(m_shared.readBuffer), MSG_DONTWAIT);
    if (n < 0) return errno == EINTR || wouldBlock(errno);
    if (n == 0) {
        m_peerClosed = true;
        return true;
    }
    if (m_inStart == m_in.size()) {
        m_in.clear();
        m_inStart = 0;
    }
    m_in.append(m_shared.readBuffer, size_t(n));
    // A request must be complete this long after its first byte, however slowly the rest comes.
    if (m_deadline == 0) m_deadline = now + m_shared.limits.requestMs;
    m_lastUsed = ++m_shared.turn;
    return true;
}

bool FcgiConnection::parse(qint64 now) {
    while ((!hasOutput() || m_phase == Streaming) && !m_closeNow && !m_closeBy &&
           buffered() >= fcgi::kHeaderLength) {
        fcgi::Header h;
        if (!fcgi::readHeader(reinterpret_cast<const unsigned char*>(m_in.data()) + m_inStart, h)) {
            return drop(QStringLiteral("a record of another protocol or version"));
        }
        if (buffered() < h.recordLength()) break;
        if (!handle(h, m_in.data() + m_inStart + fcgi::kHeaderLength, now)) return false;
        m_inStart += h.recordLength();
        if (m_phase == Ready) {
            // The end of its body often follows at once: taken first, so that the request is
            // known to be read whole when it is answered.
            fcgi::Header next;
            if (!m_tooLarge && hasWholeRecord() &&
                fcgi::readHeader(reinterpret_cast<const unsigned char*>(m_in.data()) + m_inStart, next) &&
                next.type == fcgi::kStdin && next.requestId == m_id) {
                continue;
            }
            serveRequest(now);
            break;  // one request per connection and turn: the others get theirs in between
        }
        if (m_phase == Answered && m_tooLarge && m_stdinEnded && !hasOutput()) afterReply(now);
    }
    if (m_inStart == m_in.size()) {
        m_in.clear();
        m_inStart = 0;
        if (m_in.capacity() > fcgi::kKeptBufferBytes) std::string().swap(m_in);
    } else if (m_inStart >= sizeof(m_shared.readBuffer)) {
        m_in.erase(0, m_inStart);
        m_inStart = 0;
    }
    return true;
}

bool FcgiConnection::handle(const fcgi::Header& h, const char* content, qint64 now) {
    if (h.requestId == 0) {
        management(h, content, now);
        return true;
    }
    switch (h.type) {
        case fcgi::kBeginRequest: {
            if (h.contentLength != 8) return drop(QStringLiteral("a malformed request start"));
            if (m_phase == Answered && m_tooLarge && !m_stdinEnded) {
                // The body answered as too large ends here; its connection goes all the same.
                m_stdinEnded = true;
                if (!hasOutput()) afterReply(now);
                return true;
            }
            if (m_phase == Params || m_phase == Body || m_phase == Parked || m_phase == Streaming) {
                if (h.requestId == m_id) return drop(QStringLiteral("a request started again before its end"));
                // One request at a time on a connection; the web server may send another elsewhere.
                queue(fcgi::endRequest(h.requestId, fcgi::kCantMultiplex), now);
                return true;
            }
            const int role = (static_cast<unsigned char>(content[0]) << 8) | static_cast<unsigned char>(content[1]);
            if (role != fcgi::kResponder) {
                queue(fcgi::endRequest(h.requestId, fcgi::kUnknownRole), now);
                return true;
            }
            setPhase(Params);
            m_id = h.requestId;
            m_keep = (static_cast<unsigned char>(content[2]) & fcgi::kKeepConnection) != 0;
            m_stdinEnded = false;
            m_tooLarge = false;
            m_bodyBytes = 0;
            m_params.clear();
            return true;
        }
        case fcgi::kParams:
            if (h.requestId != m_id || m_phase != Params) return true;
            if (h.contentLength == 0) {
                if (!m_params.decode()) return drop(QStringLiteral("malformed request parameters"));
                m_tooLarge = m_bodyBytes > m_shared.limits.maxBody;
                setPhase(m_stdinEnded || m_tooLarge || !expectsBody(m_params) ? Ready : Body);
                return true;
            }
            if (m_params.size() + h.contentLength > kMaxParams) {
                return drop(QStringLiteral("request parameters of more than %1 bytes").arg(kMaxParams));
            }
            m_params.append(content, h.contentLength);
            return true;
        case fcgi::kStdin:
            if (h.requestId != m_id || m_phase == None) return true;
            if (h.contentLength == 0) {
                m_stdinEnded = true;
                if (m_phase == Body) setPhase(Ready);
                return true;
            }
            m_bodyBytes += static_cast<long long>(h.contentLength);
            if (m_phase == Body && m_bodyBytes > m_shared.limits.maxBody) {
                m_tooLarge = true;
                setPhase(Ready);
            }
            return true;
        case fcgi::kAbortRequest:
            if (h.requestId == m_id && m_phase != None && m_phase != Answered) {
                // Nothing is left to answer: the request ends without a reply (one that was to
                // come later finds no connection).
                setPhase(Answered);
                m_stdinEnded = true;
                m_tooLarge = false;
                m_replyPending = true;
                queue(fcgi::endRequest(m_id, fcgi::kRequestComplete), now);
                if (!hasOutput()) {
                    m_replyPending = false;
                    afterReply(now);
                }
            }
            return true;
        default:
            // A responder takes no other records of a request (FCGI_DATA, a peer's own output,
            // types it does not know): they are read and ignored.
            return true;
    }
}

void FcgiConnection::management(const fcgi::Header& h, const char* content, qint64 now) {
    if (h.type != fcgi::kGetValues) {
        queue(fcgi::record(fcgi::kUnknownType, 0, std::string(1, char(h.type)) + std::string(7, '\0')), now);
        return;
    }
    fcgi::Params names;
    names.append(content, h.contentLength);
    if (!names.decode()) return;
    // Each value known is answered once, however often it is asked: the reply stays one small
    // record, never one longer than a record's length can say.
    static const char* const kKnown[] = {"FCGI_MAX_CONNS", "FCGI_MAX_REQS", "FCGI_MPXS_CONNS"};
    bool asked[3] = {};
    std::string values;
    for (const char* const* entry = names.environment(); *entry; ++entry) {
        const std::string name(*entry, std::strchr(*entry, '=') - *entry);
        for (size_t i = 0; i < 3; ++i) {
            if (asked[i] || name != kKnown[i]) continue;
            asked[i] = true;
            values += fcgi::nameValue(name, i < 2 ? std::to_string(m_shared.limits.maxConnections) : "0");
        }
    }
    queue(fcgi::record(fcgi::kGetValuesResult, 0, values), now);
}

void FcgiConnection::serveRequest(qint64 now) {
    setPhase(Answered);
    m_lastUsed = ++m_shared.turn;
    m_shared.response.clear();
    if (m_tooLarge) {
        m_shared.response.head = kTooLarge;
        Log::singleton()->log(QStringLiteral("REQUEST BODY TOO LARGE (more than %1 bytes): ").arg(m_shared.limits.maxBody) +
                                  TextChecks::printable(m_params.value("QUERY_STRING")),
                              2);
    } else {
        m_shared.response.ticket = ++g_tickets;
        m_shared.handler(m_params, m_shared.response);
        if (m_shared.response.deferred) {
            // Its reply comes later: the others are served meanwhile.
            setPhase(Parked);
            m_ticket = m_shared.response.ticket;
            m_parkedUntil = now + m_shared.limits.parkedMs;
            m_deadline = 0;
            m_params.clear();
            return;
        }
        if (m_shared.response.open) {
            m_ticket = m_shared.response.ticket;
            openReply(now);
            m_params.clear();
            return;
        }
    }
    reply(now);
    m_params.clear();
}

bool FcgiConnection::deliver(qint64 now) {
    m_lastUsed = ++m_shared.turn;
    if (m_phase == Streaming) {
        if (!m_shared.response.open) return endStream(now);
        m_parkedUntil = now + m_shared.limits.parkedMs;
        sendPart(now);
    } else if (m_shared.response.open) {
        openReply(now);
    } else {
        setPhase(Answered);
        reply(now);
    }
    return !m_closeNow;
}

bool FcgiConnection::endOpenReply(qint64 now) {
    if (m_phase != Streaming) return !m_closeNow;
    m_shared.response.clear();
    m_shared.response.head = m_closing;
    return endStream(now);
}

bool FcgiConnection::endStream(qint64 now) {
    setPhase(Answered);  // a part still waiting is dropped: the last one goes in its place
    reply(now, fcgi::ReplyPart::Last);
    return !m_closeNow;
}

void FcgiConnection::openReply(qint64 now) {
    setPhase(Streaming);
    m_parkedUntil = now + m_shared.limits.parkedMs;
    m_deadline = 0;
    m_closing = m_shared.response.closing;
    m_queued = 0;
    m_shared.pieces.clear();
    fcgi::addReply(m_id, m_shared.response.head, m_shared.response.body.constData(),
                   size_t(m_shared.response.body.size()), m_shared.pieces, m_shared.headers,
                   fcgi::ReplyPart::First);
    if (!send(now)) m_closeNow = true;
    m_shared.response.body = QByteArray();
}

void FcgiConnection::sendPart(qint64 now) {
    m_shared.pieces.clear();
    fcgi::addReply(m_id, m_shared.response.head, m_shared.response.body.constData(),
                   size_t(m_shared.response.body.size()), m_shared.pieces, m_shared.headers,
                   fcgi::ReplyPart::More);
    const int queued = !hasOutput() && m_waiting.empty() ? unread() : -1;
    if (queued == 0) {
        if (!send(now)) m_closeNow = true;
    } else {
        // The peer is still taking an earlier part: this one waits whole, in place of any that
        // waited. Never more than one part waits, however slowly the peer reads.
        if (!m_waiting.empty() && m_shared.replacedParts) ++*m_shared.replacedParts;
        if (queued > 0) {
            m_writeBy = now + m_shared.limits.requestMs;  // the peer must read on meanwhile
            m_recheckAt = now + kStreamRecheckMs;
            m_queued = queued;
        }
        m_waiting.clear();
        for (const iovec& piece : m_shared.pieces) m_waiting.append(static_cast<const char*>(piece.iov_base), piece.iov_len);
    }
    m_shared.response.body = QByteArray();
}

int FcgiConnection::unread() {
    // Bytes written that the peer has not read yet: what the kernel holds would otherwise queue
    // parts a slow peer has no use for.
    int queued = 0;
    return ::ioctl(m_fd, SIOCOUTQ, &queued) == 0 ? queued : 0;
}

void FcgiConnection::reply(qint64 now, fcgi::ReplyPart part) {
    m_shared.pieces.clear();
    fcgi::addReply(m_id, m_shared.response.head, m_shared.response.body.constData(), size_t(m_shared.response.body.size()), m_shared.pieces,
                   m_shared.headers, part);
    m_replyPending = true;
    if (!send(now)) {
        m_closeNow = true;
    } else if (!hasOutput()) {
        m_replyPending = false;
        afterReply(now);
    }
    m_shared.response.body = QByteArray();  // an old frame is not held until the next request
}

void FcgiConnection::afterReply(qint64 now) {
    // A body too large is read to its end before the connection goes.
    if (m_tooLarge && !m_stdinEnded) return;
    if (m_keep && !m_tooLarge) return;
    if (!m_keep && m_stdinEnded && buffered() == 0) {
        // Read whole: closing now cannot reset anything the web server still sends.
        m_closeNow = true;
        return;
    }
    ::shutdown(m_fd, SHUT_WR);
    m_closeBy = now + m_shared.limits.lingerMs;
}

bool FcgiConnection::send(qint64 now) {
    size_t first = 0;
    if (!hasOutput()) {
        while (first < m_shared.pieces.size()) {
            msghdr message = {};
            message.msg_iov = &m_shared.pieces[first];
            message.msg_iovlen = std::min<size_t>(m_shared.pieces.size() - first, IOV_MAX);
            const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EINTR) continue;
                if (wouldBlock(errno)) break;
                return false;
            }
            for (size_t done = size_t(sent); first < m_shared.pieces.size() && done > 0;) {
                iovec& piece = m_shared.pieces[first];
                const size_t taken = std::min(done, piece.iov_len);
                piece.iov_base = static_cast<char*>(piece.iov_base) + taken;
                piece.iov_len -= taken;
                done -= taken;
                if (piece.iov_len == 0) ++first;
            }
        }
        if (first == m_shared.pieces.size()) return true;
        m_writeBy = now + m_shared.limits.requestMs;
        m_out.clear();
        m_outStart = 0;
    }
    // The socket is full: what it did not take waits with the connection.
    for (size_t i = first; i < m_shared.pieces.size(); ++i) {
        m_out.append(static_cast<const char*>(m_shared.pieces[i].iov_base), m_shared.pieces[i].iov_len);
    }
    return true;
}

void FcgiConnection::queue(const std::string& bytes, qint64 now) {
    m_shared.pieces.assign(1, {const_cast<char*>(bytes.data()), bytes.size()});
    if (!send(now)) m_closeNow = true;
}

bool FcgiConnection::flush(qint64 now) {
    for (;;) {
        while (hasOutput()) {
            const ssize_t n = ::send(m_fd, m_out.data() + m_outStart, m_out.size() - m_outStart, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR) continue;
                return wouldBlock(errno);
            }
            m_outStart += size_t(n);
            m_writeBy = now + m_shared.limits.requestMs;
        }
        if (m_waiting.empty()) break;
        // The part that waited is the newest: it goes next, once the peer has read the last one.
        const int queued = unread();
        if (queued > 0) {
            if (queued < m_queued) m_writeBy = now + m_shared.limits.requestMs;
            m_queued = queued;
            m_recheckAt = now + kStreamRecheckMs;
            break;
        }
        m_queued = 0;
        m_out.swap(m_waiting);
        m_waiting.clear();
        m_outStart = 0;
    }
    m_out.clear();
    m_outStart = 0;
    // An open reply keeps its buffer for the next part.
    if (m_phase != Streaming && m_out.capacity() > fcgi::kKeptBufferBytes) std::string().swap(m_out);
    if (m_replyPending) {
        m_replyPending = false;
        afterReply(now);
    }
    return true;
}

