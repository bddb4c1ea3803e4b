#include "transport/Response.h"

namespace {

// Replies larger than this do not keep their buffer for the next request.
constexpr size_t kKeptResponseBytes = 64 * 1024;

}  // namespace

void Response::clear() {
    if (head.capacity() > kKeptResponseBytes) std::string().swap(head);
    head.clear();
    body = QByteArray();
    deferred = false;
    open = false;
    closing.clear();
}

QByteArray Response::joined() const {
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(head.size()) + body.size());
    bytes.append(head.data(), static_cast<qsizetype>(head.size()));
    bytes.append(body);
    return bytes;
}

void Response::dropBody() {
    const size_t end = head.find("\r\n\r\n");
    if (end != std::string::npos) {
        head.resize(end + 4);
        body = QByteArray();
        return;
    }
    // A raw reply written as one array has its header lines in the body.
    const qsizetype bodyEnd = body.indexOf("\r\n\r\n");
    body = bodyEnd < 0 ? QByteArray() : body.left(bodyEnd + 4);
}
