#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "frame/AccessGuard.h"
#include "frame/Request.h"
#include "frame/RequestMetrics.h"
#include "frame/Response.h"

class Fcgi;

/// One row of the command table: name, handler, quiet flag, and whether the command acts on the
/// robot or only reads (a row that does not say acts).
struct Command {
    const char* name;
    RequestResult (*handler)(Fcgi& fcgi, Request& request);
    bool quiet;
    CommandAccess access = CommandAccess::Acting;
};
using CommandTable = std::vector<Command>;

/// Everything of a request but the transport: decoding, parsing, dispatch, the reply envelope
/// and the request's log lines. Runs in the request thread.
class RequestProcessor {
public:
    RequestProcessor(Fcgi& fcgi, CommandTable table);

    /// Turns a QUERY_STRING value (nullptr when unset) into the response bytes: header lines and
    /// body. Returns an empty array when a handler threw (nothing at all is written then).
    /// `headers` are the request's other parameters, which decide who may run the command; a
    /// HEAD request gets the header lines alone.
    QByteArray process(const char* queryString, const RequestHeaders& headers = RequestHeaders()) const;
    /// The same into `response`, whose buffers are reused; `query` is scratch space kept with it.
    void process(const char* queryString, const RequestHeaders& headers, Response& response,
                 QByteArray& query) const;

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
    void processDecoded(const QByteArray& query, const RequestHeaders& headers, Response& response,
                        Tally& tally) const;
    const Command* find(const char* name) const;

    Fcgi& m_fcgi;
    CommandTable m_table;
    std::unordered_map<std::string_view, size_t> m_index;  // name -> first row with it
    std::unique_ptr<AccessGuard> m_guard;
    std::unique_ptr<RequestMetrics> m_metrics;
};
