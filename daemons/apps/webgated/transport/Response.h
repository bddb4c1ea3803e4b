#pragma once

#include <QByteArray>
#include <cstddef>
#include <string>

/// A response in two parts written one after the other: `head` holds a JSON reply whole, or a
/// raw reply's header lines; `body` shares a raw reply's body bytes (a camera frame is not copied).
/// Kept from request to request by the loop, so that its buffers are reused.
struct Response {
    /// Header lines the transport puts before every response it writes, whatever its kind: a
    /// browser never guesses another type for it, runs no script of it and shows it in no frame.
    static constexpr char kGuardHeaders[] =
        "X-Content-Type-Options: nosniff\r\n"
        "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'; sandbox\r\n";
    static constexpr size_t kGuardHeadersLength = sizeof(kGuardHeaders) - 1;

    std::string head;
    QByteArray body;
    /// Set by the transport before the request is processed: what a deferred reply is posted
    /// back with (0: no transport waits for it, the reply is awaited where it is processed).
    unsigned long long ticket = 0;
    /// Set by the processing: the reply comes later, posted back with `ticket`.
    bool deferred = false;
    /// Set by the processing: the reply stays open after what it holds; further parts are posted
    /// back with `ticket`, each with `open` set but the last. A part the peer has not begun to
    /// take is replaced by the next one: a slow peer gets the newest, never a queue.
    bool open = false;
    /// With `open`: what ends the reply when the transport ends it itself (the daemon stops).
    std::string closing;

    void clear();
    /// Both parts in one array (empty when the request failed).
    QByteArray joined() const;
    /// Keeps the header lines and drops the rest, as the answer to a HEAD request.
    void dropBody();
};
