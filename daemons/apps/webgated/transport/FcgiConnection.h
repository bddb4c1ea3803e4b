#pragma once

#include <poll.h>
#include <sys/uio.h>

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "transport/FcgiRecords.h"
#include "transport/Response.h"

/// The limits a run of the transport keeps.
struct FcgiLimits {
    /// A request must be complete this long after its first byte, and a reply the web server
    /// does not take must move within it; else that connection is dropped.
    int requestMs = 10000;
    /// Connections open at once; beyond, a lingering, idle or least recently used one goes.
    int maxConnections = 64;
    /// Connections that may wait for a reply that comes later; a request that would be one more
    /// is refused at once, so that the rest always serve commands that answer at once (stop).
    int maxParked = 48;
    /// A request body (read and thrown away: commands come in the query) up to this size is
    /// fine; a larger one is answered 413, read to its end, and its connection closed.
    long long maxBody = 1 << 20;
    /// How long an answered connection the web server did not keep may take to close its end.
    int lingerMs = 1000;
    /// How long a request whose reply comes later may wait for it (longer than any command's
    /// own limit); then its connection is dropped.
    int parkedMs = 60000;
};

/// Turns a request's parameters into its response (runs on the serving thread).
using FcgiHandler = std::function<void(const fcgi::Params& params, Response& response)>;

/// What the connections of one run share: the limits, the handler, the count of parked
/// connections and the scratch space of the serving thread.
struct FcgiShared {
    FcgiShared(const FcgiLimits& limits, const FcgiHandler& handler, std::atomic<int>& parked)
        : limits(limits), handler(handler), parked(parked) {}
    const FcgiLimits limits;
    const FcgiHandler& handler;
    std::atomic<int>& parked;  // kept by the connections as they park and leave; read by any thread
    /// Told the ticket of an open reply once it has ended, whatever ended it (serving thread).
    std::function<void(unsigned long long ticket)> openReplyEnded;
    /// Parts of open replies that a newer part replaced before the peer took them.
    std::atomic<unsigned long long>* replacedParts = nullptr;
    unsigned long long turn = 0;  // stamps connections by last use
    Response response;            // reused from request to request
    std::vector<iovec> pieces;
    std::vector<fcgi::HeaderBytes> headers;
    char readBuffer[65536];
};

/// One connection from the web server: the records of its requests as they arrive, the reply to
/// each complete one, what the socket has not taken yet, and the times it must keep. Nothing it
/// does waits for the peer.
class FcgiConnection {
public:
    explicit FcgiConnection(FcgiShared& shared) : m_shared(shared) {}
    ~FcgiConnection() { close(); }
    FcgiConnection(const FcgiConnection&) = delete;
    FcgiConnection& operator=(const FcgiConnection&) = delete;

    /// Serves the connection `fd` from its start; the buffers of an earlier one are reused.
    void open(int fd);
    /// Closes the connection (a parked request no longer counts); it may be opened again.
    void close();
    int fd() const { return m_fd; }
    /// Bytes its own buffers hold, used or not (the records read, the reply unsent, the
    /// parameters): back to little after any request.
    size_t heldBytes() const;
    unsigned long long lastUsed() const { return m_lastUsed; }
    /// What to wait for on the socket. An open reply also listens while it writes: its peer
    /// may leave or abort at any time.
    short pollEvents() const {
        if (m_phase == Streaming) return short((m_peerClosed ? 0 : POLLIN) | (hasOutput() ? POLLOUT : 0));
        return m_closeBy ? POLLIN : hasOutput() ? POLLOUT : m_peerClosed ? 0 : POLLIN;
    }
    /// Waiting for a reply that comes later.
    bool isParked() const { return m_phase == Parked; }
    /// Its reply is open: more parts may follow.
    bool isStreaming() const { return m_phase == Streaming; }
    /// What a reply that comes later, or the next part of an open one, is posted back with (0
    /// when neither).
    unsigned long long ticket() const { return m_phase == Parked || m_phase == Streaming ? m_ticket : 0; }
    /// Sends what came for the parked request or the open reply, from the shared response: a
    /// reply, or a part of an open one; false once the connection is to be closed.
    bool deliver(qint64 now);
    /// Ends an open reply with the closing bytes it was opened with (the daemon stops); false
    /// once the connection is to be closed.
    bool endOpenReply(qint64 now);
    /// The next time it must be looked at without the socket's word (0: none; `now`: at once,
    /// records already read wait for their turn).
    qint64 wakeAt(qint64 now) const;
    /// Moves as far as it can with what the socket has (`revents`); false once it is to be closed.
    bool step(short revents, qint64 now);
    /// Writes what the socket takes now; false on a failed connection.
    bool flush(qint64 now);
    bool hasOutput() const { return m_outStart < m_out.size(); }
    /// How readily it is closed to make room: lingering, idle, in a request, with a reply to
    /// send; one waiting for a reply that comes later never is (kNeverEvicted).
    int evictionRank() const {
        return m_phase == Parked || m_phase == Streaming ? kNeverEvicted
               : m_closeBy                                 ? 0
               : atRest() && !hasOutput()                  ? 1
               : hasOutput()                               ? 3
                                                           : 2;
    }
    static constexpr int kNeverEvicted = 4;

private:
    // Where the request on the connection is: being read (parameters, then body), complete and
    // waiting for its turn, parked until its reply comes from elsewhere, answered with a reply that
    // stays open (streaming), or answered (what still arrives for it is read and ignored).
    enum Phase { None, Params, Body, Ready, Parked, Streaming, Answered };

    size_t buffered() const { return m_in.size() - m_inStart; }
    bool hasWholeRecord() const;
    /// Every change of phase goes through here, so that the parked ones are counted exactly.
    void setPhase(Phase phase);
    // Nothing of a request is on its way: no deadline runs.
    bool atRest() const {
        return buffered() == 0 && (m_phase == None || (m_phase == Answered && !(m_tooLarge && !m_stdinEnded)));
    }
    bool readSome(qint64 now);
    bool parse(qint64 now);
    bool handle(const fcgi::Header& h, const char* content, qint64 now);
    void management(const fcgi::Header& h, const char* content, qint64 now);
    void serveRequest(qint64 now);
    void reply(qint64 now, fcgi::ReplyPart part = fcgi::ReplyPart::Whole);
    /// The shared response opened the reply: its first part goes out, the rest follows.
    void openReply(qint64 now);
    /// A further part of the open reply: sent, or waiting in place of one that waited.
    void sendPart(qint64 now);
    bool endStream(qint64 now);
    bool stepStream(short revents, qint64 now);
    /// Bytes written to the socket that the peer has not read.
    int unread();
    /// Called as the open reply ends, however it ends.
    void leaveStream();
    void afterReply(qint64 now);
    bool send(qint64 now);
    void queue(const std::string& bytes, qint64 now);
    bool drop(const QString& reason);

    FcgiShared& m_shared;
    int m_fd = -1;
    unsigned long long m_lastUsed = 0;
    std::string m_in;  // bytes read and not yet taken as records, from m_inStart on
    size_t m_inStart = 0;
    Phase m_phase = None;
    int m_id = 0;
    bool m_keep = false;
    bool m_stdinEnded = false;
    bool m_tooLarge = false;
    bool m_peerClosed = false;
    bool m_replyPending = false;  // a reply is (partly) in m_out
    bool m_closeNow = false;
    long long m_bodyBytes = 0;
    fcgi::Params m_params;
    std::string m_out;  // what the socket did not take yet, from m_outStart on
    size_t m_outStart = 0;
    std::string m_waiting;  // the newest part of an open reply, whole, sent once m_out is
    std::string m_closing;  // ends the open reply when the transport ends it
    int m_queued = 0;       // what the peer had not read when last looked at (an open reply)
    qint64 m_recheckAt = 0; // when the socket is looked at again for the part that waits
    qint64 m_deadline = 0;  // the request in progress is dropped at this time of the loop's clock
    qint64 m_writeBy = 0;   // the reply must have moved by then
    qint64 m_closeBy = 0;   // shut down for writing: closed when the peer closes, at the latest then
    unsigned long long m_ticket = 0;  // of the parked request or the open reply
    qint64 m_parkedUntil = 0;         // also the time by which an open reply's next part must come
};
