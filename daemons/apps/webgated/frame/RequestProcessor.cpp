#include "frame/RequestProcessor.h"

#include <cstring>
#include <exception>

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

// Replies larger than this do not keep their buffer for the next request.
constexpr size_t kKeptResponseBytes = 64 * 1024;

}  // namespace

void Response::clear() {
    if (head.capacity() > kKeptResponseBytes) std::string().swap(head);
    head.clear();
    body = QByteArray();
}

QByteArray Response::joined() const {
    QByteArray bytes;
    bytes.reserve(static_cast<qsizetype>(head.size()) + body.size());
    bytes.append(head.data(), static_cast<qsizetype>(head.size()));
    bytes.append(body);
    return bytes;
}

RequestProcessor::RequestProcessor(Fcgi& fcgi, CommandTable table)
    : m_fcgi(fcgi), m_table(std::move(table)) {}

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

QByteArray RequestProcessor::process(const char* queryString) const {
    Response response;
    QByteArray query;
    process(queryString, response, query);
    return response.joined();
}

void RequestProcessor::process(const char* queryString, Response& response, QByteArray& query) const {
    response.clear();
    // Bytes throughout: the query is Latin-1 text, one character per byte.
    decode(queryString ? queryString : "NULL QUERY STRING", query);
    try {
        processDecoded(query, response);
    } catch (...) {
        log("EXCEPTION WHILE PROCESSING REQUEST !!!, request string: ", query, 0);
        response.clear();
    }
}

void RequestProcessor::processDecoded(const QByteArray& query, Response& response) const {
    log("recieved query string:", query, 4);

    json_error_t error;
    JsonPtr parsed(json_loads(query.constData(), 0, &error));
    std::string& out = response.head;
    out.append(kJsonHeader, sizeof(kJsonHeader) - 1);
    bool quiet = false;
    if (!parsed) {
        out.append("{");
        appendMember(out, "TYPE", "ERR");
        appendMember(out, "MSG", "NO JSON OBJ RECIEVED");
        out.push_back('}');
        log("NO JSON OBJ RECIEVED: ", query, 2);
    } else if (!json_is_object(parsed.get())) {
        out.append("{");
        appendMember(out, "TYPE", "ACK");
        out.push_back('}');
    } else {
        Request request(parsed.get(), nullptr);
        request.setQueryText(query);
        RequestResult result = UnknownCommand;
        const json_t* type = json_object_get(parsed.get(), "TYPE");
        if (!type) {
            result = NoTypeField;
        } else if (json_is_string(type)) {
            const char* name = json_string_value(type);
            for (const Command& command : m_table) {
                if (std::strcmp(command.name, name) == 0) {
                    request.setQuiet(command.quiet);
                    result = command.handler(m_fcgi, request);
                    break;
                }
            }
            if (request.isRaw()) {
                out.clear();
                if (request.rawHeader()) out.append(request.rawHeader());
                response.body = request.rawBody();
                return;
            }
        }
        quiet = request.quiet();
        const Envelope envelope = envelopeOf(result);
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
            jsonAppendCompact(out, reply);
        } else {
            // The envelope's keys come last, after the handler's, written without the object.
            if (reply) {
                jsonAppendCompact(out, reply);
                out.pop_back();
            } else {
                out.push_back('{');
            }
            appendMember(out, "TYPE", envelope.type);
            if (envelope.message) appendMember(out, "MSG", envelope.message);
            out.push_back('}');
        }
    }
    log("Done:", query, quiet ? 4 : 3);
}
