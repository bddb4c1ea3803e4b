#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <vector>

#include "transport/FcgiConnection.h"

/// The FastCGI transport of the request thread: the listening socket, the web server's
/// connections and their limits, the records of each request and of each reply. It knows no
/// command: the parameters of a complete request go to the handler, whose response it sends.
/// Nothing it does waits for a peer: a connection that stalls or trickles holds only itself.
class FcgiConnections {
public:
    using Limits = FcgiLimits;
    using Handler = FcgiHandler;

    FcgiConnections();
    ~FcgiConnections();
    FcgiConnections(const FcgiConnections&) = delete;
    FcgiConnections& operator=(const FcgiConnections&) = delete;

    /// Serves the listening socket `listenFd` until requestStop(). False, with `failure` set,
    /// when it cannot go on (the socket is unusable).
    bool serve(int listenFd, const Limits& limits, const Handler& handler, QString* failure);
    /// From any thread: ends serve(), which first writes out the replies already made (for at
    /// most `flushMs`). Requests not yet handed to the handler are not served.
    void requestStop(int flushMs);
    bool isStopping() const { return m_stopping.load(); }
    /// Once serve() has returned: forgets a stop request it did not see.
    void rearm();

    /// Writes a reply that comes later into the response it is given (request thread).
    using Reply = std::function<void(Response&)>;
    /// Any thread: the reply to the request that was deferred with `ticket` is ready, or the next
    /// part of the open reply with `ticket`. serve() runs `reply` on its thread, always (the
    /// request's log lines and figures end there), and sends what it wrote when that request's
    /// connection is still open. With `ticket` 0 it only runs `reply`: work for the serving thread.
    void post(unsigned long long ticket, Reply reply);
    /// Before serve(): `ended` is told, on the serving thread, the ticket of each open reply once
    /// it has ended: by its last part, its peer's leaving or abort, a peer that took nothing, or
    /// the end of serve(), which ends each with the closing bytes it was opened with.
    void setOpenReplyEnded(std::function<void(unsigned long long ticket)> ended) {
        m_openReplyEnded = std::move(ended);
    }
    /// Any thread: parts of open replies that a newer part replaced before their peer took them.
    unsigned long long replacedParts() const { return m_replacedParts.load(std::memory_order_relaxed); }

    /// Any thread: milliseconds since serve() last turned (it turns at least once a second;
    /// -1 while it does not run), and the connections it holds open.
    qint64 loopAgeMs() const;
    int openConnections() const { return m_open.load(std::memory_order_relaxed); }
    /// Any thread: the connections whose request waits for a reply that comes later.
    int parkedConnections() const { return m_parked.load(std::memory_order_relaxed); }
    /// Serving thread, while it processes a request: whether that request may wait for a reply
    /// that comes later (fewer connections than the limit do); if not, it is to be refused at once.
    bool mayPark() const {
        return m_parked.load(std::memory_order_relaxed) <
               m_maxParked.load(std::memory_order_relaxed);
    }

    /// True when `fd` is no listening socket: the process runs as a CGI program.
    static bool isCgi(int fd);
    /// Writes `response` to `out` as a CGI program's reply: the guard lines first, as on every
    /// reply over FastCGI (nothing at all for a request that failed). False when it was not
    /// written whole.
    static bool writeCgiReply(const QByteArray& response, FILE* out);

private:
    class Run;
    /// Resets the wake-up descriptor once its wake-up has been seen.
    void takeWakeUp();
    int m_wakeFd = -1;  // wakes serve()'s poll for requestStop()
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_flushMs{0};
    std::atomic<qint64> m_lastTurnMs{-1};  // on the monotonic clock
    std::atomic<int> m_open{0};
    std::atomic<int> m_parked{0};  // counted by the connections as they park and leave
    std::atomic<int> m_maxParked{FcgiLimits().maxParked};
    std::function<void(unsigned long long)> m_openReplyEnded;
    std::atomic<unsigned long long> m_replacedParts{0};
    struct Posted {
        unsigned long long ticket;
        Reply reply;
    };
    std::mutex m_postedMutex;
    std::vector<Posted> m_posted;
    std::atomic<bool> m_hasPosted{false};
};
