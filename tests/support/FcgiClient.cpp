#include "FcgiClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <cstring>

namespace testsupport::fcgiclient {

QByteArray record(unsigned char type, int id, const QByteArray& content, int padding) {
    if (padding < 0) padding = (8 - content.size() % 8) % 8;
    QByteArray r;
    r.append(char(1)).append(char(type)).append(char(id >> 8)).append(char(id & 0xff));
    r.append(char((content.size() >> 8) & 0xff)).append(char(content.size() & 0xff));
    r.append(char(padding)).append(char(0));
    return r + content + QByteArray(padding, '\0');
}

QByteArray nameValue(const QByteArray& name, const QByteArray& value) {
    QByteArray pair;
    auto length = [&pair](qsizetype n) {
        if (n < 128) {
            pair.append(char(n));
        } else {
            pair.append(char(((n >> 24) & 0x7f) | 0x80)).append(char((n >> 16) & 0xff));
            pair.append(char((n >> 8) & 0xff)).append(char(n & 0xff));
        }
    };
    length(name.size());
    length(value.size());
    return pair + name + value;
}

QByteArray begin(int id, bool keep, int role) {
    return record(kBeginRequest, id, QByteArray("\0", 1) + char(role) + char(keep ? 1 : 0) + QByteArray(5, '\0'));
}

QByteArray request(int id, const QByteArray& query, bool keep, const Pairs& params, const QByteArray& body,
                   bool endStdin) {
    QByteArray pairs = nameValue("QUERY_STRING", query);
    for (const auto& [name, value] : params) pairs += nameValue(name, value);
    QByteArray r = begin(id, keep) + record(kParams, id, pairs) + record(kParams, id, QByteArray());
    for (qsizetype at = 0; at < body.size(); at += 32768) r += record(kStdin, id, body.mid(at, 32768));
    if (endStdin) r += record(kStdin, id, QByteArray());
    return r;
}

Peer::Peer(const QString& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        m_fd = fd;
    } else if (fd >= 0) {
        ::close(fd);
    }
}

Peer::~Peer() {
    if (m_fd >= 0) ::close(m_fd);
}

bool Peer::write(const QByteArray& bytes) {
    for (qsizetype done = 0; m_fd >= 0 && done < bytes.size();) {
        const ssize_t n = ::send(m_fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return m_fd >= 0;
}

bool Peer::takeRecords(Answer* answer) {
    while (m_in.size() >= 8) {
        const int length = (uchar(m_in[4]) << 8) | uchar(m_in[5]);
        const int total = 8 + length + uchar(m_in[6]);
        if (m_in.size() < total) break;
        if (!answer && uchar(m_in[1]) != kStdout) return true;
        Answer got;
        got.type = uchar(m_in[1]);
        got.id = (uchar(m_in[2]) << 8) | uchar(m_in[3]);
        got.content = m_in.mid(8, length);
        m_in.remove(0, total);
        if (got.type == kStdout) {
            m_out += got.content;
            continue;
        }
        if (got.type == kEndRequest) {
            got.status = got.content.size() > 4 ? uchar(got.content[4]) : -1;
            got.content = m_out;
            m_out.clear();
        }
        *answer = got;
        return true;
    }
    return false;
}

bool Peer::receive(qint64 timeoutMs) {
    if (m_fd < 0 || m_ended) return false;
    pollfd p = {m_fd, POLLIN, 0};
    if (::poll(&p, 1, int(std::max<qint64>(0, timeoutMs))) <= 0) return true;
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
    if (n <= 0) {
        m_ended = true;
        return false;
    }
    m_in.append(buffer, int(n));
    return true;
}

bool Peer::next(Answer* answer, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    // What has arrived is always read, even with no time to wait.
    for (bool polled = false;; polled = true) {
        if (takeRecords(answer)) return true;
        const qint64 left = timeoutMs - timer.elapsed();
        if ((left <= 0 && polled) || !receive(left)) return takeRecords(answer);
    }
}

bool Peer::waitOutput(const std::function<bool(const QByteArray&)>& enough, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    for (bool polled = false;; polled = true) {
        const bool other = takeRecords(nullptr);
        if (enough(m_out)) return true;
        if (other) return false;
        const qint64 left = timeoutMs - timer.elapsed();
        if ((left <= 0 && polled) || !receive(left)) {
            takeRecords(nullptr);
            return enough(m_out);
        }
    }
}

bool Peer::waitClosed(int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && !m_ended) {
        const qint64 left = timeoutMs - timer.elapsed();
        pollfd p = {m_fd, POLLIN, 0};
        if (left < 0 || ::poll(&p, 1, int(std::max<qint64>(0, left))) < 0) return false;
        if (p.revents == 0) {
            if (left <= 0) return false;
            continue;
        }
        char buffer[65536];
        if (::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0) m_ended = true;
    }
    return true;
}

bool Peer::waitHungUp(int timeoutMs) {
    pollfd p = {m_fd, 0, 0};  // a closed end shows as POLLHUP, asked for or not
    return m_fd >= 0 && ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLHUP);
}

bool get(const QString& socketPath, const QByteArray& query, QByteArray* out, int timeoutMs) {
    Peer peer(socketPath);
    Answer answer;
    if (!peer.write(request(1, query, false)) || !peer.next(&answer, timeoutMs) || answer.type != kEndRequest) return false;
    if (out) *out = answer.content;
    return true;
}

}  // namespace testsupport::fcgiclient
