#include "request/RequestProcessor.h"
#include "base/SecretText.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>

#include "transport/FcgiConnections.h"
#include "request/Request.h"
#include "request/Worker.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

const char kJsonHeader[] = "Content-type: text/html\r\n\r\n";

// The request's log lines quote the query; the text is only built when the level is written.
bool logs(int level) { return level <= Log::singleton()->verbosity(); }
void log(const char* prefix, const QByteArray& query, int level) {
    if (logs(level)) Log::singleton()->log(QLatin1String(prefix) + QString::fromLatin1(query), level);
}

// What a result code puts into the reply ("TYPE", the frame's "MSG") and the error log line.
struct Envelope {
    const char* type;
    const char* message;
    const char* logPrefix;
};

Envelope envelopeOf(RequestResult result) {
    switch (result) {
        case Ack: return {"ACK", nullptr, nullptr};
        case Data: return {"DATA", nullptr, nullptr};
        case NoTypeField: return {"ERR", "NO TYPE FIELD FOUND", "NO TYPE FIELD FOUND"};
        case UnknownCommand: return {"ERR", "UNKNOWN COMMAND", "UNKNOWN COMMAND"};
        case MissingParameters: return {"ERR", "MISSING PARAMETER(S)", "MISSING PARAMETER(S)"};
        case InvalidParameters: return {"ERR", "INVALID PARAMETER(S)", "INVALID PARAMETER(S)"};
        case NoRunningProgram: return {"ERR", "NO RUNNING PROGRAM", "NO RUNNING PROGRAM"};
        case Failed: return {"ERR", nullptr, "ERROR"};
        case InvalidFileName: return {"ERR", "File name is invalid.", nullptr};
        default: return {"ERR", "UNKNOWN ERROR", "UNKNOWN ERROR"};
    }
}

// Appends `,"key":"value"` to the members of an object written so far (no comma after "{").
void appendMember(std::string& out, const char* key, const char* value) {
    if (out.back() != '{') out.push_back(',');
    out.push_back('"');
    out.append(key);
    out.append("\":\"", 3);
    out.append(value);
    out.push_back('"');
}

}  // namespace

RequestProcessor::RequestProcessor(CommandContext& context, CommandTable table, Worker& worker, FcgiConnections& transport)
    : m_context(context), m_worker(worker), m_transport(transport), m_table(std::move(table)), m_guard(new AccessGuard()) {
    // A name listed twice keeps its first row, as a search in table order would.
    std::vector<const char*> names;
    for (size_t i = 0; i < m_table.size(); ++i) {
        m_index.emplace(m_table[i].name, i);
        names.push_back(m_table[i].name);
    }
    m_metrics.reset(new RequestMetrics(std::move(names)));
}

namespace {

// One pass: no escape can appear in what another one decodes to, so the order does not matter.
void decodeInto(const char* text, qsizetype length, QByteArray& out) {
    out.resize(length);
    char* to = out.data();
    const char* end = text + length;
    for (const char* p = text; p != end;) {
        if (*p == '%' && end - p >= 3) {
            char c = 0;
            if (p[1] == '2') {
                c = p[2] == '0' ? ' ' : p[2] == '2' ? '"' : 0;
            } else if (p[1] == '7') {
                c = p[2] == 'B' ? '{' : p[2] == 'D' ? '}' : 0;
            }
            if (c) {
                *to++ = c;
                p += 3;
                continue;
            }
        }
        *to++ = *p++;
    }
    out.resize(to - out.constData());
}

}  // namespace

QByteArray RequestProcessor::decode(const QByteArray& query) {
    if (!query.contains('%')) return query;
    QByteArray text;
    decodeInto(query.constData(), query.size(), text);
    return text;
}

void RequestProcessor::decode(const char* query, QByteArray& out) {
    decodeInto(query, static_cast<qsizetype>(std::strlen(query)), out);
}

QByteArray RequestProcessor::process(const char* queryString, const RequestHeaders& headers) const {
    Response response;
    QByteArray query;
    process(queryString, headers, response, query);
    return response.joined();
}

namespace {

qint64 nanosecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
}

// Runs a handler whose reply is deferred (in the worker thread, or where it is awaited).
void runDeferred(DeferredReply& reply, RequestResult (*handler)(CommandContext&, Request&), CommandContext& context) {
    RequestResult result = Failed;
    try {
        result = handler(context, reply.request());
    } catch (...) {
        reply.fail();
        return;
    }
    reply.finish(result);
}

// A reply awaited where it is processed (no transport serves others meanwhile).
struct Awaited {
    std::mutex mutex;
    std::condition_variable ready;
    bool done = false;
};

}  // namespace

void RequestProcessor::process(const char* queryString, const RequestHeaders& headers, Response& response,
                               QByteArray& query) const {
    const auto start = std::chrono::steady_clock::now();
    response.clear();
    // Bytes throughout: the query is Latin-1 text, one character per byte.
    decode(queryString ? queryString : "NULL QUERY STRING", query);
    Tally tally = {m_table.size(), RequestOutcome::UnknownCommand};
    Deferral deferral;
    try {
        processDecoded(query, headers, response, tally, deferral);
    } catch (...) {
        log("EXCEPTION WHILE PROCESSING REQUEST !!!, request string: ", SecretText::forLog(query), 0);
        response.clear();
        tally.outcome = RequestOutcome::Exception;
        if (deferral.stream) deferral.stream->ended();
        deferral = Deferral();
    }
    const bool head = headers.method && std::strcmp(headers.method, "HEAD") == 0;
    if (deferral.stream) keepOpen(deferral.stream, head, response);
    if (deferral.reply) {
        deferral.reply->row = tally.row;
        deferral.reply->head = head;
        deferral.reply->start = start;
        defer(deferral, response);
        return;
    }
    // A HEAD request gets the header lines a GET would get, never a body.
    if (head) response.dropBody();
    m_metrics->count(tally.row, tally.outcome, nanosecondsSince(start));
}

void RequestProcessor::keepOpen(const std::shared_ptr<ReplyStream>& stream, bool head, Response& response) const {
    if (head || response.ticket == 0) {
        // Nothing serves it meanwhile (or only its header lines are asked for): it ends here.
        stream->ended();
        if (!head) response.body.append(stream->closing().data(), static_cast<qsizetype>(stream->closing().size()));
        return;
    }
    response.open = true;
    response.closing = stream->closing();
    FcgiConnections& transport = m_transport;
    const unsigned long long ticket = response.ticket;
    stream->attach([&transport, ticket](std::string head, QByteArray body, bool more) {
        transport.post(ticket, [head = std::move(head), body = std::move(body), more](Response& out) {
            out.head = head;
            out.body = body;
            out.open = more;
        });
    });
    std::lock_guard<std::mutex> lock(m_streamsMutex);
    m_streams[ticket] = stream;
}

void RequestProcessor::streamEnded(unsigned long long ticket) const {
    std::shared_ptr<ReplyStream> stream;
    {
        std::lock_guard<std::mutex> lock(m_streamsMutex);
        const auto found = m_streams.find(ticket);
        if (found == m_streams.end()) return;
        stream = std::move(found->second);
        m_streams.erase(found);
    }
    stream->ended();
}

void RequestProcessor::defer(Deferral& deferral, Response& response) const {
    std::shared_ptr<DeferredReply> reply = std::move(deferral.reply);
    const unsigned long long ticket = response.ticket;
    std::shared_ptr<Awaited> awaited;
    DeferredReply::Sink sink;
    if (ticket != 0) {
        sink = [this, ticket](std::shared_ptr<DeferredReply> done) {
            m_transport.post(ticket, [this, done](Response& out) { complete(*done, out); });
        };
    } else {
        awaited = std::make_shared<Awaited>();
        sink = [awaited](std::shared_ptr<DeferredReply>) {
            std::lock_guard<std::mutex> lock(awaited->mutex);
            awaited->done = true;
            awaited->ready.notify_all();
        };
    }
    reply->adopt(std::move(deferral.request), std::move(deferral.query), std::move(sink));
    if (deferral.workerHandler && ticket == 0) {
        // Nothing is served meanwhile here: the work is done in this thread.
        runDeferred(*reply, deferral.workerHandler, m_context);
    } else if (deferral.workerHandler) {
        auto handler = deferral.workerHandler;
        CommandContext& context = m_context;
        const Worker::Posted posted = m_worker.post([reply, handler, &context] { runDeferred(*reply, handler, context); });
        if (posted != Worker::Posted::Queued) {
            if (posted == Worker::Posted::Full) {
                log("THE WORKER THREAD IS BUSY, request refused: ", reply->request().queryText(), 1);
            }
            reply->finish(Failed);
        }
    }
    if (ticket != 0) {
        response.deferred = true;
        return;
    }
    std::unique_lock<std::mutex> lock(awaited->mutex);
    if (!awaited->ready.wait_for(lock, std::chrono::milliseconds(kAwaitMs), [&awaited] { return awaited->done; })) {
        lock.unlock();
        log("NO REPLY CAME IN TIME, request string: ", reply->request().queryText(), 0);
        response.clear();
        m_metrics->count(reply->row, RequestOutcome::Exception, nanosecondsSince(reply->start));
        return;
    }
    lock.unlock();
    complete(*reply, response);
}

void RequestProcessor::complete(DeferredReply& reply, Response& response) const {
    response.clear();
    Tally tally = {reply.row, RequestOutcome::Exception};
    if (reply.threw()) {
        log("EXCEPTION WHILE PROCESSING REQUEST !!!, request string: ", reply.request().queryText(), 0);
    } else {
        try {
            reply.addMembers();
            finishReply(reply.request(), reply.result(), response, tally);
        } catch (...) {
            log("EXCEPTION WHILE PROCESSING REQUEST !!!, request string: ", reply.request().queryText(), 0);
            response.clear();
            tally.outcome = RequestOutcome::Exception;
        }
    }
    if (reply.head) response.dropBody();
    m_metrics->count(tally.row, tally.outcome, nanosecondsSince(reply.start));
}

namespace {

// The page's usual query, {"TYPE":"name"} with a name of letters, digits and "_", needs no parser:
// read as JSON it is an object whose only member is that string. Copies the name into `name`.
bool isPlainTypeQuery(const QByteArray& query, char (&name)[64]) {
    static const char kPrefix[] = "{\"TYPE\":\"";
    constexpr qsizetype kPrefixLength = sizeof(kPrefix) - 1;
    const qsizetype length = query.size() - kPrefixLength - 2;
    if (length <= 0 || length >= qsizetype(sizeof(name)) || !query.startsWith(kPrefix) ||
        !query.endsWith("\"}")) {
        return false;
    }
    const char* text = query.constData() + kPrefixLength;
    for (qsizetype i = 0; i < length; ++i) {
        const char c = text[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) {
            return false;
        }
        name[i] = c;
    }
    name[length] = '\0';
    return true;
}

}  // namespace

const Command* RequestProcessor::find(const char* name) const {
    const auto found = m_index.find(std::string_view(name));
    return found == m_index.end() ? nullptr : &m_table[found->second];
}

void RequestProcessor::processDecoded(const QByteArray& query, const RequestHeaders& headers,
                                      Response& response, Tally& tally, Deferral& deferral) const {
    // Every line of this request quotes it without its passphrases, at any verbosity.
    const QByteArray logged = SecretText::forLog(query);
    log("recieved query string:", logged, 4);  // spelt as log readers grep for it

    std::string& out = response.head;
    char plainName[64];
    JsonPtr parsed;
    const char* name = nullptr;  // the text of "TYPE" when it is a string
    bool hasType = true;
    if (isPlainTypeQuery(query, plainName)) {
        name = plainName;
    } else {
        json_error_t error;
        parsed.reset(json_loads(query.constData(), 0, &error));
        if (json_is_object(parsed.get())) {
            const json_t* type = json_object_get(parsed.get(), "TYPE");
            hasType = type != nullptr;
            if (json_is_string(type)) name = json_string_value(type);
        }
    }

    // Who may run it is decided before anything of the command runs. A query that names no
    // command runs nothing and only reads.
    const Command* command = name ? find(name) : nullptr;
    if (command) tally.row = static_cast<size_t>(command - m_table.data());
    CommandAccess access = command ? command->access : CommandAccess::Reading;
    if (access == CommandAccess::ReadingUnlessOutput) {
        access = json_object_get(parsed.get(), "output") ? CommandAccess::Acting : CommandAccess::Reading;
    }
    const AccessVerdict verdict = m_guard->check(access, headers, name);
    if (verdict != AccessVerdict::Allowed) {
        if (verdict == AccessVerdict::MethodNotAllowed) {
            tally.outcome = RequestOutcome::RefusedMethod;
            out.append("Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n\r\n");
            log("METHOD NOT ALLOWED: ", logged, 2);
            return;
        }
        tally.outcome = verdict == AccessVerdict::HostNotAllowed ? RequestOutcome::RefusedHost
                                                                 : RequestOutcome::RefusedCrossSite;
        out.append("Status: 403 Forbidden\r\n");
        out.append(kJsonHeader, sizeof(kJsonHeader) - 1);
        out.append("{");
        appendMember(out, "TYPE", "ERR");
        appendMember(out, "MSG", verdict == AccessVerdict::HostNotAllowed ? "HOST NOT ALLOWED"
                                                                           : "CROSS-SITE REQUEST REFUSED");
        out.push_back('}');
        return;
    }

    out.append(kJsonHeader, sizeof(kJsonHeader) - 1);
    if (!parsed && !name) {
        out.append("{");
        appendMember(out, "TYPE", "ERR");
        // "RECIEVED" as callers have always matched it; do not correct the spelling.
        appendMember(out, "MSG", "NO JSON OBJ RECIEVED");
        out.push_back('}');
        tally.outcome = RequestOutcome::NoJson;
        log("NO JSON OBJ RECIEVED: ", logged, 2);
        log("Done:", logged, 3);
        return;
    }
    if (!name && !json_is_object(parsed.get())) {
        out.append("{");
        appendMember(out, "TYPE", "ACK");
        out.push_back('}');
        tally.outcome = RequestOutcome::Ack;
        log("Done:", logged, 3);
        return;
    }

    // The plain query's only member is "TYPE", which no handler reads as a parameter.
    auto request = std::make_unique<Request>(parsed.get(), nullptr);
    request->setQueryText(logged);
    RequestResult result = hasType ? UnknownCommand : NoTypeField;
    if (command) {
        request->setQuiet(command->log == CommandLog::Quiet);
        // Some connections always stay for commands that answer at once: a request that would
        // wait beyond the limit is refused before its work starts.
        const bool mayPark = response.ticket == 0 || m_transport.mayPark();
        if (command->thread == CommandThread::Worker) {
            if (!mayPark) return refuseWaiting(*request, response, tally);
            deferral.reply = std::make_shared<DeferredReply>();
            deferral.workerHandler = command->handler;
        } else {
            request->setMayDefer(mayPark);
            request->setLoopServes(response.ticket != 0);
            // The parameters live as long as this call: a reply that comes later has none.
            request->setHeaders(&headers);
            result = command->handler(m_context, *request);
            request->setHeaders(nullptr);
            deferral.reply = request->takeDeferred();
            deferral.stream = request->takeStream();
            if (request->deferRefused()) return refuseWaiting(*request, response, tally);
            // Only a raw reply stays open.
            if (deferral.stream && (deferral.reply || !request->isRaw())) {
                deferral.stream->ended();
                deferral.stream.reset();
            }
        }
        if (deferral.reply) {
            out.clear();
            deferral.request = std::move(request);
            deferral.query = std::move(parsed);
            return;
        }
    }
    finishReply(*request, result, response, tally);
}

void RequestProcessor::refuseWaiting(const Request& request, Response& response,
                                     Tally& tally) const {
    log("TOO MANY REQUESTS WAITING, request refused: ", request.queryText(), 1);
    // A reply of its own: nothing a handler set before it asked to wait goes out.
    Request refused(nullptr, nullptr);
    refused.setQueryText(request.queryText());
    refused.setQuiet(request.quiet());
    refused.set("MSG", json_string("TOO MANY REQUESTS WAITING"));
    finishReply(refused, Failed, response, tally);
    tally.outcome = RequestOutcome::RefusedWaiting;
}

void RequestProcessor::finishReply(Request& request, RequestResult result, Response& response, Tally& tally) const {
    std::string& out = response.head;
    const QByteArray& query = request.queryText();
    if (request.isRaw()) {
        tally.outcome = RequestOutcome::Raw;
        out.clear();
        if (request.rawHeader()) out.append(request.rawHeader());
        response.body = request.rawBody();
        return;
    }
    if (out.empty()) out.append(kJsonHeader, sizeof(kJsonHeader) - 1);
    const Envelope envelope = envelopeOf(result);
    tally.outcome = result >= Ack && result <= InvalidFileName ? static_cast<RequestOutcome>(result)
                                                                : RequestOutcome::UnknownError;
    if (envelope.logPrefix && logs(2)) {
        Log::singleton()->log(QLatin1String(envelope.logPrefix) + QLatin1String(": ") +
                                  QString::fromLatin1(query),
                              2);
    }
    json_t* reply = request.replyIfUsed();
    if (reply && (json_object_get(reply, "TYPE") || json_object_get(reply, "MSG"))) {
        // A handler's own "MSG" (or "TYPE") keeps its place; the envelope replaces its value.
        json_object_set_new(reply, "TYPE", json_string(envelope.type));
        if (envelope.message) json_object_set_new(reply, "MSG", json_string(envelope.message));
        jsonAppendCompact(out, reply, request.rendered());
    } else {
        // The envelope's keys come last, after the handler's, written without the object.
        if (reply) {
            jsonAppendCompact(out, reply, request.rendered());
            out.pop_back();
        } else {
            out.push_back('{');
        }
        appendMember(out, "TYPE", envelope.type);
        if (envelope.message) appendMember(out, "MSG", envelope.message);
        out.push_back('}');
    }
    log("Done:", query, request.quiet() ? 4 : 3);
}
