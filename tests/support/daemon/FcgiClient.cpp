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
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = socketPath.toLocal8Bit();
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return false;
    }
    const QByteArray begin("\0\1\0\0\0\0\0\0", 8);  // role responder, no keep-alive
    QByteArray request = record(kBeginRequest, begin);
    request += record(kParams, nameValue("QUERY_STRING", query));
    request += record(kParams, QByteArray());
    request += record(kStdin, QByteArray());
    if (::write(fd, request.constData(), size_t(request.size())) != request.size()) {
        ::close(fd);
        return false;
    }

    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    bool ended = false;
    while (!ended && timer.elapsed() < timeoutMs) {
        pollfd p = {fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
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
    ::close(fd);
    return ended;
}

bool socketOnStdin(const QString& path, bool listening) {
    ::unlink(path.toLocal8Bit().constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
    const bool ok = fd >= 0 &&
                    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                    (!listening || ::listen(fd, 16) == 0) && ::dup2(fd, 0) == 0;
    ::close(fd);
    return ok;
}

}  // namespace testsupport
