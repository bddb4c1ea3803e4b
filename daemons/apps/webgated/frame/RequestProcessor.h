#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

#include "frame/Request.h"

class Fcgi;

/// One row of the command table: name, handler, quiet flag.
struct Command {
    const char* name;
    RequestResult (*handler)(Fcgi& fcgi, Request& request);
    bool quiet;
};
using CommandTable = std::vector<Command>;

/// Everything of a request but the transport: decoding, parsing, dispatch, the reply envelope
/// and the request's log lines. Runs in the request thread.
class RequestProcessor {
public:
    RequestProcessor(Fcgi& fcgi, CommandTable table);

    /// Turns a QUERY_STRING value (nullptr when unset) into the response bytes: header lines and
    /// body. Returns an empty array when a handler threw (nothing at all is written then).
    QByteArray process(const char* queryString) const;

    /// The four escapes the page uses: %20, %22, %7B and %7D; nothing else is decoded.
    static QByteArray decode(const QByteArray& query);

    const CommandTable& table() const { return m_table; }

private:
    QByteArray processDecoded(const QByteArray& query) const;

    Fcgi& m_fcgi;
    CommandTable m_table;
};
