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

// Applies the result code to the reply: "TYPE", the frame's "MSG" and the error log line.
void applyResult(RequestResult result, json_t* reply, const QByteArray& query) {
    const char* type = "ERR";
    const char* message = nullptr;
    const char* logPrefix = nullptr;
    switch (result) {
        case Ack: type = "ACK"; break;
        case Data: type = "DATA"; break;
        case NoTypeField: message = logPrefix = "NO TYPE FIELD FOUND"; break;
        case UnknownCommand: message = logPrefix = "UNKNOWN COMMAND"; break;
        case MissingParameters: message = logPrefix = "MISSING PARAMETER(S)"; break;
        case InvalidParameters: message = logPrefix = "INVALID PARAMETER(S)"; break;
        case NoRunningProgram: message = logPrefix = "NO RUNNING PROGRAM"; break;
        case Failed: logPrefix = "ERROR"; break;
        case InvalidFileName: message = "File name is invalid."; break;
        default: message = logPrefix = "UNKNOWN ERROR"; break;
    }
    json_object_set_new(reply, "TYPE", json_string(type));
    if (message) json_object_set_new(reply, "MSG", json_string(message));
    if (logPrefix && logs(2)) {
        Log::singleton()->log(QLatin1String(logPrefix) + QLatin1String(": ") + QString::fromLatin1(query), 2);
    }
}

}  // namespace

RequestProcessor::RequestProcessor(Fcgi& fcgi, CommandTable table)
    : m_fcgi(fcgi), m_table(std::move(table)) {}

QByteArray RequestProcessor::decode(const QByteArray& query) {
    if (!query.contains('%')) return query;
    QByteArray text = query;
    text.replace("%20", " ");
    text.replace("%22", "\"");
    text.replace("%7B", "{");
    text.replace("%7D", "}");
    return text;
}

QByteArray RequestProcessor::process(const char* queryString) const {
    // Bytes throughout: the query is Latin-1 text, one character per byte.
    const QByteArray query = decode(queryString ? QByteArray(queryString) : QByteArray("NULL QUERY STRING"));
    try {
        return processDecoded(query);
    } catch (...) {
        log("EXCEPTION WHILE PROCESSING REQUEST !!!, request string: ", query, 0);
        return QByteArray();
    }
}

QByteArray RequestProcessor::processDecoded(const QByteArray& query) const {
    JsonPtr reply(json_object());
    log("recieved query string:", query, 4);

    json_error_t error;
    JsonPtr parsed(json_loads(query.constData(), 0, &error));
    bool quiet = false;
    if (!parsed) {
        json_object_set_new(reply.get(), "TYPE", json_string("ERR"));
        json_object_set_new(reply.get(), "MSG", json_string("NO JSON OBJ RECIEVED"));
        log("NO JSON OBJ RECIEVED: ", query, 2);
    } else if (!json_is_object(parsed.get())) {
        json_object_set_new(reply.get(), "TYPE", json_string("ACK"));
    } else {
        Request request(parsed.get(), reply.get());
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
            if (request.isRaw()) return request.rawResponse();
        }
        quiet = request.quiet();
        applyResult(result, reply.get(), query);
    }
    log("Done:", query, quiet ? 4 : 3);

    QByteArray response(kJsonHeader);
    response += jsonDumpCompact(reply.get());
    return response;
}
