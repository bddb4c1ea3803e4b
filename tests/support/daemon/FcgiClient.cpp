#include "FcgiClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <cstring>

namespace testsupport {

namespace {

enum : unsigned char { kBeginRequest = 1, kEndRequest = 3, kParams = 4, kStdin = 5, kStdout = 6 };

QByteArray record(unsigned char type, const QByteArray& content) {
    QByteArray r;
    r.append(char(1)).append(char(type)).append(char(0)).append(char(1));
    r.append(char((content.size() >> 8) & 0xff)).append(char(content.size() & 0xff));
    r.append(char(0)).append(char(0));
    return r + content;
}

QByteArray nameValue(const QByteArray& name, const QByteArray& value) {
    QByteArray pair;
    auto length = [&pair](int n) {
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

}  // namespace

bool fcgiRequest(const QString& socketPath, const QByteArray& query, QByteArray* out, int timeoutMs) {
    FcgiConnection connection(socketPath);
    return connection.isConnected() && connection.request(query, out, false, timeoutMs);
}

FcgiConnection::FcgiConnection(const QString& socketPath) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

FcgiConnection::~FcgiConnection() {
    if (m_fd >= 0) ::close(m_fd);
}

bool FcgiConnection::send(const QByteArray& bytes) {
    return m_fd >= 0 && ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

bool FcgiConnection::waitForClose(int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0 && timer.elapsed() < timeoutMs) {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        if (::read(m_fd, buffer, sizeof(buffer)) <= 0) return true;
    }
    return false;
}

bool FcgiConnection::request(const QByteArray& query, QByteArray* out, bool keepConnection, int timeoutMs) {
    // Role responder; flag 1 asks the application to keep the connection.
    QByteArray begin("\0\1\0\0\0\0\0\0", 8);
    begin[2] = keepConnection ? 1 : 0;
    QByteArray request = record(kBeginRequest, begin);
    request += record(kParams, nameValue("QUERY_STRING", query));
    request += record(kParams, QByteArray());
    request += record(kStdin, QByteArray());
    if (!send(request)) return false;

    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    bool ended = false;
    while (!ended && timer.elapsed() < timeoutMs) {
        pollfd p = {m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
        if (n <= 0) break;
        data.append(buffer, int(n));
        // Parse whole records from the front.
        while (data.size() >= 8) {
            const int length = (uchar(data[4]) << 8) | uchar(data[5]);
            const int total = 8 + length + uchar(data[6]);
            if (data.size() < total) break;
            const unsigned char type = uchar(data[1]);
            if (type == kStdout && out) out->append(data.mid(8, length));
            if (type == kEndRequest) ended = true;
            data.remove(0, total);
        }
    }
    return ended;
}

bool socketOnStdin(const QString& path, bool listening) {
    ::unlink(path.toLocal8Bit().constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                    (!listening || ::listen(fd, 16) == 0) && ::dup2(fd, 0) == 0;
    ::close(fd);
    return ok;
}

}  // namespace testsupport
