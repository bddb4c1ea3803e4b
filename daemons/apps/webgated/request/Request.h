#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <string>

#include "base/Json.h"
#include "request/RequestResult.h"

class DeferredReply;
class ReplyStream;
struct RequestHeaders;

/// What a command handler gets: the parsed query (read only), the reply object it adds keys
/// to, the quiet flag, and the raw reply for commands that write the whole response.
class Request {
public:
    /// With `reply` nullptr, the request makes its own reply object when a handler first uses it.
    Request(const json_t* query, json_t* reply) : m_query(query), m_reply(reply) {}

    const json_t* query() const { return m_query; }
    json_t* reply() const {
        if (!m_reply) {
            m_ownReply.reset(json_object());
            m_reply = m_ownReply.get();
        }
        return m_reply;
    }
    /// The reply object, nullptr when the request made none and no handler used it.
    json_t* replyIfUsed() const { return m_reply; }

    /// Runs `handler` with `reply` as the reply object and everything else of this request: a
    /// command whose reply gathers those of others. A value the handler marked as rendered stays
    /// marked.
    template <typename Handler>
    RequestResult replyInto(json_t* reply, Handler&& handler) {
        json_t* const own = m_reply;
        m_reply = reply;
        const RequestResult result = handler(*this);
        m_reply = own;
        return result;
    }

    /// The parameter `key` of the query, or nullptr when absent.
    const json_t* param(const char* key) const { return json_object_get(m_query, key); }

    /// Sets a reply key (an ASCII literal: not checked again), taking over `value`.
    void set(const char* key, json_t* value) { json_object_set_new_nocheck(reply(), key, value); }
    void setText(const char* key, const QString& text) { set(key, jsonFromQString(text)); }

    /// Marks `value`, a reply value the handler keeps unchanged, as written by `text` (its compact
    /// JSON), which the handler keeps until the request is answered.
    void setRendered(const json_t* value, const std::string* text) { m_rendered = {value, text}; }
    const JsonRendered& rendered() const { return m_rendered; }

    /// Who sent the request, as the web server passed it on (its driver id, address and browser):
    /// set while a handler runs in the request thread, nullptr anywhere else.
    const RequestHeaders* headers() const { return m_headers; }
    void setHeaders(const RequestHeaders* headers) { m_headers = headers; }

    /// The decoded query text, as the request's log lines quote it.
    const QByteArray& queryText() const { return m_queryText; }
    void setQueryText(const QByteArray& text) { m_queryText = text; }

    bool quiet() const { return m_quiet; }
    void setQuiet(bool quiet) { m_quiet = quiet; }

    /// A raw reply: `response` holds the header lines and the body, written verbatim.
    void setRawResponse(const QByteArray& response) { setRawResponse(nullptr, response); }
    /// A raw reply in two parts written one after the other: `header` (text that outlives the
    /// request, such as a literal; nullptr for none) and `body`, whose bytes are shared.
    void setRawResponse(const char* header, const QByteArray& body) {
        m_raw = true;
        m_rawHeader = header;
        m_rawHeaderText.clear();
        m_rawBody = body;
    }
    /// The same with header lines made for this request.
    void setRawResponse(std::string header, const QByteArray& body) {
        setRawResponse(nullptr, body);
        m_rawHeaderText = std::move(header);
    }
    bool isRaw() const { return m_raw; }

    /// Answers later: the reply goes out once the returned handle is finished, from any thread;
    /// what the handler returns is then ignored. For a command whose work would block the loop.
    /// Null when too many requests wait already: the handler then starts no work and returns at
    /// once; the request is refused.
    std::shared_ptr<DeferredReply> defer();
    /// The request loop's side: the handle defer() made, handed over once.
    std::shared_ptr<DeferredReply> takeDeferred() { return std::move(m_deferred); }
    /// Keeps the raw reply open after it is written: further parts follow through the returned
    /// stream. `closing` ends the reply when the daemon stops. Null when too many requests wait
    /// already (the request is refused, as for defer()). Without a loop that serves others
    /// meanwhile (loopServes()), the reply ends with `closing` at once.
    std::shared_ptr<ReplyStream> openStream(std::string closing);
    /// The request loop's side: the stream openStream() made, handed over once.
    std::shared_ptr<ReplyStream> takeStream() { return std::move(m_stream); }
    /// The request loop's side: whether defer() and openStream() may be granted, and whether
    /// one was refused.
    void setMayDefer(bool may) { m_mayDefer = may; }
    bool deferRefused() const { return m_deferRefused; }
    /// Whether a loop serves other requests while this one waits for its reply (else a reply
    /// that comes later is awaited where the request is processed).
    bool loopServes() const { return m_loopServes; }
    void setLoopServes(bool serves) { m_loopServes = serves; }
    const char* rawHeader() const {
        return m_rawHeader ? m_rawHeader : m_rawHeaderText.empty() ? nullptr : m_rawHeaderText.c_str();
    }
    const QByteArray& rawBody() const { return m_rawBody; }

private:
    const json_t* m_query;
    mutable json_t* m_reply;
    mutable JsonPtr m_ownReply;
    QByteArray m_queryText;
    JsonRendered m_rendered;
    const RequestHeaders* m_headers = nullptr;
    bool m_quiet = false;
    bool m_mayDefer = true;
    bool m_deferRefused = false;
    bool m_loopServes = false;
    bool m_raw = false;
    const char* m_rawHeader = nullptr;
    std::string m_rawHeaderText;
    QByteArray m_rawBody;
    std::shared_ptr<DeferredReply> m_deferred;
    std::shared_ptr<ReplyStream> m_stream;
};
