#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "request/AccessGuard.h"
#include "request/DeferredReply.h"
#include "request/ReplyStream.h"
#include "request/Request.h"
#include "request/RequestMetrics.h"
#include "transport/Response.h"

/// What the commands share, defined by the app that assembles them; handlers get it, never the
/// app itself.
struct CommandContext;
class FcgiConnections;
class Worker;

/// Where a command's handler runs: in the request thread, or in the worker thread for work that
/// may block (the disk, a local socket); the loop serves the others meanwhile.
enum class CommandThread { Request, Worker };

/// The level of a command's "Done:" line: 3, or 4 for the commands the page polls, so that
/// polling does not fill the log.
enum class CommandLog { Full, Quiet };

/// One row of the command table: the command's name, whether it acts on the robot or only reads,
/// the thread its handler runs in, its "Done:" line, and the handler.
struct Command {
    const char* name;
    CommandAccess access;
    CommandThread thread;
    CommandLog log;
    RequestResult (*handler)(CommandContext& context, Request& request);
};
using CommandTable = std::vector<Command>;

/// Everything of a request but the transport: decoding, parsing, dispatch, the reply envelope
/// and the request's log lines. Runs in the request thread.
class RequestProcessor {
public:
    /// Handlers marked for the worker run in `worker`; replies that come later are posted to
    /// `transport`.
    RequestProcessor(CommandContext& context, CommandTable table, Worker& worker, FcgiConnections& transport);

    /// Turns a QUERY_STRING value (nullptr when unset) into the response bytes: header lines and
    /// body. Returns an empty array when a handler threw (nothing at all is written then).
    /// `headers` are the request's other parameters, which decide who may run the command; a
    /// HEAD request gets the header lines alone. A reply that comes later is awaited here.
    QByteArray process(const char* queryString, const RequestHeaders& headers = RequestHeaders()) const;
    /// The same into `response`, whose buffers are reused; `query` is scratch space kept with it.
    /// With a transport `response.ticket` set, a reply that comes later is not awaited: the
    /// response is marked deferred, and the reply is posted to the transport with the ticket.
    void process(const char* queryString, const RequestHeaders& headers, Response& response,
                 QByteArray& query) const;
    /// Writes the reply of a deferred request, once finished, into `response` (the thread the
    /// transport serves from): its envelope, its last log line and its figures.
    void complete(DeferredReply& reply, Response& response) const;
    /// The open reply with `ticket` has ended (the thread the transport serves from).
    void streamEnded(unsigned long long ticket) const;

    /// The longest a reply that comes later is awaited where nothing else is served meanwhile
    /// (longer than any command's own limit).
    static constexpr int kAwaitMs = 60000;

    /// The four escapes the page uses: %20, %22, %7B and %7D; nothing else is decoded.
    static QByteArray decode(const QByteArray& query);
    /// The same from text into `out`, reusing its buffer.
    static void decode(const char* query, QByteArray& out);

    const CommandTable& table() const { return m_table; }
    /// Requests by command and outcome, and their durations.
    const RequestMetrics& metrics() const { return *m_metrics; }

private:
    /// How a request ended, for the figures: its table row and outcome.
    struct Tally {
        size_t row;
        RequestOutcome outcome;
    };
    /// A request whose reply comes later: what processDecoded() leaves for process().
    struct Deferral {
        std::shared_ptr<DeferredReply> reply;
        std::unique_ptr<Request> request;
        JsonPtr query;
        RequestResult (*workerHandler)(CommandContext& context, Request& request) = nullptr;
        std::shared_ptr<ReplyStream> stream;  // the raw reply stays open
    };
    void processDecoded(const QByteArray& query, const RequestHeaders& headers, Response& response,
                        Tally& tally, Deferral& deferral) const;
    void defer(Deferral& deferral, Response& response) const;
    /// Keeps the response open for `stream`, or ends it at once where nothing serves it.
    void keepOpen(const std::shared_ptr<ReplyStream>& stream, bool head, Response& response) const;
    /// The reply to a request that would wait for its reply while too many others do.
    void refuseWaiting(const Request& request, Response& response, Tally& tally) const;
    /// The envelope of a handler's result (or its raw reply), and the request's last log line.
    void finishReply(Request& request, RequestResult result, Response& response, Tally& tally) const;
    const Command* find(const char* name) const;

    CommandContext& m_context;
    Worker& m_worker;
    FcgiConnections& m_transport;
    CommandTable m_table;
    std::unordered_map<std::string_view, size_t> m_index;  // name -> first row with it
    std::unique_ptr<AccessGuard> m_guard;
    std::unique_ptr<RequestMetrics> m_metrics;
    // The open replies by ticket. Used by the thread the transport serves from, which is another
    // in each run of the loop.
    mutable std::mutex m_streamsMutex;
    mutable std::unordered_map<unsigned long long, std::shared_ptr<ReplyStream>> m_streams;
};
