#pragma once

#include <QByteArray>
#include <string>

/// A response in two parts written one after the other: `head` holds a JSON reply whole, or a
/// raw reply's header lines; `body` shares a raw reply's body bytes (a camera frame is not copied).
/// Kept from request to request by the loop, so that its buffers are reused.
struct Response {
    std::string head;
    QByteArray body;

    void clear();
    /// Both parts in one array (empty when the request failed).
    QByteArray joined() const;
    /// Keeps the header lines and drops the rest, as the answer to a HEAD request.
    void dropBody();
};
