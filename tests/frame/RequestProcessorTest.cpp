// The request function: decoding, parsing, dispatch, the reply envelope and its log lines.
#include <gtest/gtest.h>

#include <stdexcept>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "kel/corvanta/daemons/Log.h"

using testsupport::DaemonEnvironment;

namespace {

QByteArray jsonString(const json_t* reply, const char* key) {
    const json_t* value = json_object_get(reply, key);
    return value && json_is_string(value) ? QByteArray(json_string_value(value)) : QByteArray("<none>");
}

RequestResult echoResult(Fcgi&, Request& request) {
    // Ends with the code the query asks for, after setting keys the frame must replace or keep.
    request.setText("TYPE", QStringLiteral("handler's own"));
    request.setText("note", QStringLiteral("a/b %41 ünï"));
    return static_cast<RequestResult>(json_integer_value(request.param("code")));
}
RequestResult quietAck(Fcgi&, Request&) { return Ack; }
RequestResult throwing(Fcgi&, Request&) { throw std::runtime_error("boom"); }
RequestResult throwingInt(Fcgi&, Request&) { throw 42; }
RequestResult rawReply(Fcgi&, Request& request) {
    request.setRawResponse(QByteArray("Content-Type: image/png \r\n\r\n\x89PNG", 32));
    return Ack;
}
RequestResult firstMatch(Fcgi&, Request& request) {
    request.setText("which", QStringLiteral("first"));
    return Ack;
}
RequestResult secondMatch(Fcgi&, Request& request) {
    request.setText("which", QStringLiteral("second"));
    return Ack;
}

class RequestProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        env().fcgi().setCommandTable({{"echo", echoResult, false},
                                      {"HEARTBEAT", quietAck, true},
                                      {"throw", throwing, false},
                                      {"throwInt", throwingInt, false},
                                      {"raw", rawReply, false},
                                      {"twice", firstMatch, false},
                                      {"twice", secondMatch, false}});
        env().clearLog();
    }
    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
    static JsonPtr ask(const QByteArray& query) { return env().requestJson(query); }
    static QByteArray type(const QByteArray& query) { return jsonString(ask(query).get(), "TYPE"); }
    static QByteArray msg(const QByteArray& query) { return jsonString(ask(query).get(), "MSG"); }
    static int doneLines(const QString& log) { return log.count(QStringLiteral("| Done:")); }
};

TEST_F(RequestProcessorTest, AnswersLoopErrorsWithTheirTexts) {
    EXPECT_EQ(env().request("{\"TYPE\":\"nope\"}"),
              QByteArray("Content-type: text/html\r\n\r\n{\"TYPE\":\"ERR\",\"MSG\":\"UNKNOWN COMMAND\"}"));
    EXPECT_EQ(msg("not json"), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg(""), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg("{\"type\":\"HEARTBEAT\"}"), "NO TYPE FIELD FOUND");
    EXPECT_EQ(msg("{\"TYPE\":\"heartbeat\"}"), "UNKNOWN COMMAND");
    EXPECT_EQ(msg("{\"TYPE\":\"HEARTBEAT \"}"), "UNKNOWN COMMAND");
    EXPECT_EQ(msg("{\"TYPE\":7}"), "UNKNOWN COMMAND");
    EXPECT_EQ(msg("{\"TYPE\":null}"), "UNKNOWN COMMAND");
    // A top-level array is acknowledged and runs nothing.
    const JsonPtr array = ask("[1,2]");
    EXPECT_EQ(jsonString(array.get(), "TYPE"), "ACK");
    EXPECT_EQ(json_object_size(array.get()), 1u);
}

TEST_F(RequestProcessorTest, NullQueryStringIsNotJson) {
    const QByteArray response = env().fcgi().processRequest(nullptr);
    EXPECT_TRUE(response.endsWith("{\"TYPE\":\"ERR\",\"MSG\":\"NO JSON OBJ RECIEVED\"}"));
    EXPECT_TRUE(env().logText().contains(QStringLiteral("NO JSON OBJ RECIEVED: NULL QUERY STRING")));
}

TEST_F(RequestProcessorTest, DecodesOnlyTheFourUpperCaseEscapes) {
    EXPECT_EQ(type("%7B%22TYPE%22:%22HEARTBEAT%22%7D"), "ACK");
    EXPECT_EQ(type("{%22TYPE%22:%22HEARTBEAT%22}"), "ACK");
    EXPECT_EQ(type("{%22TYPE%22:%20%22HEARTBEAT%22}"), "ACK");
    EXPECT_EQ(msg("%7b%22TYPE%22:%22HEARTBEAT%22%7d"), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg("{%22TYPE%22:%22HEART%42EAT%22}"), "UNKNOWN COMMAND");
    // A plus sign stays a plus sign (and so is not a blank between tokens).
    EXPECT_EQ(msg("{\"TYPE\":+\"HEARTBEAT\"}"), "NO JSON OBJ RECIEVED");
    EXPECT_TRUE(env().logText().contains(QStringLiteral("recieved query string:{\"TYPE\":\"HEARTBEAT\"}")));
}

TEST_F(RequestProcessorTest, AppliesEveryResultCode) {
    struct Case {
        int code;
        const char* type;
        const char* msg;
        const char* logLine;
    };
    const Case cases[] = {
        {0, "ACK", nullptr, nullptr},
        {1, "DATA", nullptr, nullptr},
        {2, "ERR", "NO TYPE FIELD FOUND", "NO TYPE FIELD FOUND: "},
        {3, "ERR", "UNKNOWN COMMAND", "UNKNOWN COMMAND: "},
        {4, "ERR", "MISSING PARAMETER(S)", "MISSING PARAMETER(S): "},
        {5, "ERR", "INVALID PARAMETER(S)", "INVALID PARAMETER(S): "},
        {6, "ERR", "NO RUNNING PROGRAM", "NO RUNNING PROGRAM: "},
        {7, "ERR", nullptr, "ERROR: "},
        {8, "ERR", "File name is invalid.", nullptr},
        {9, "ERR", "UNKNOWN ERROR", "UNKNOWN ERROR: "},
        {-1, "ERR", "UNKNOWN ERROR", "UNKNOWN ERROR: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        env().clearLog();
        const QByteArray query = "{\"TYPE\":\"echo\",\"code\":" + QByteArray::number(c.code) + "}";
        const JsonPtr reply = ask(query);
        // The frame's TYPE replaces the handler's; the handler's other keys stay.
        EXPECT_EQ(jsonString(reply.get(), "TYPE"), c.type);
        EXPECT_EQ(jsonString(reply.get(), "MSG"), c.msg ? c.msg : "<none>");
        EXPECT_EQ(jsonString(reply.get(), "note"), "a/b %41 ünï");
        const QString log = env().logText();
        if (c.logLine) {
            EXPECT_TRUE(log.contains(QLatin1String(c.logLine) + QString::fromLatin1(query))) << log.toStdString();
        } else {
            EXPECT_FALSE(log.contains(QStringLiteral(": {\"TYPE\""))) << log.toStdString();
        }
        EXPECT_EQ(doneLines(log), 1);
    }
}

TEST_F(RequestProcessorTest, WritesCompactJsonWithEscapedSlashesAndUtf8) {
    const QByteArray response = env().request("{\"TYPE\":\"echo\",\"code\":0}");
    EXPECT_TRUE(response.startsWith("Content-type: text/html\r\n\r\n{")) << response.constData();
    EXPECT_TRUE(response.contains("\"note\":\"a\\/b %41 \xc3\xbcn\xc3\xaf\"")) << response.constData();
    EXPECT_FALSE(response.mid(response.indexOf("\r\n\r\n")).contains(": ")) << response.constData();
}

TEST_F(RequestProcessorTest, MatchesTheFirstRowOfTheTable) {
    EXPECT_EQ(jsonString(ask("{\"TYPE\":\"twice\"}").get(), "which"), "first");
}

TEST_F(RequestProcessorTest, QuietFlagLowersTheDoneLine) {
    env().setConfig("");
    ask("{\"TYPE\":\"HEARTBEAT\"}");
    ask("{\"TYPE\":\"echo\",\"code\":0}");
    const QString log = env().logText();
    EXPECT_EQ(doneLines(log), 2);
    // Read back through a log that lets level 3 through but not level 4.
    kel::corvanta::daemons::Log::singleton()->setVerbosity(3);
    env().clearLog();
    ask("{\"TYPE\":\"HEARTBEAT\"}");
    ask("{\"TYPE\":\"echo\",\"code\":0}");
    const QString filtered = env().logText();
    kel::corvanta::daemons::Log::singleton()->setVerbosity(100);
    EXPECT_EQ(doneLines(filtered), 1);
    EXPECT_TRUE(filtered.contains(QStringLiteral("Done:{\"TYPE\":\"echo\",\"code\":0}")));
    EXPECT_FALSE(filtered.contains(QStringLiteral("recieved query string")));
}

TEST_F(RequestProcessorTest, RawRepliesAndExceptionsHaveNoDoneLine) {
    EXPECT_EQ(env().request("{\"TYPE\":\"raw\"}"), QByteArray("Content-Type: image/png \r\n\r\n\x89PNG", 32));
    EXPECT_EQ(env().request("{\"TYPE\":\"throw\"}"), QByteArray());
    EXPECT_EQ(env().request("{\"TYPE\":\"throwInt\"}"), QByteArray());
    const QString log = env().logText();
    EXPECT_EQ(doneLines(log), 0);
    EXPECT_EQ(log.count(QStringLiteral("EXCEPTION WHILE PROCESSING REQUEST !!!, request string: {\"TYPE\":\"throw")), 2);
    // The next request is served as usual.
    EXPECT_EQ(type("{\"TYPE\":\"HEARTBEAT\"}"), "ACK");
}

TEST_F(RequestProcessorTest, AnswersHostileInput) {
    QByteArray huge(1 << 20, 'x');
    EXPECT_EQ(msg(huge), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg("{\"TYPE\":\"" + QByteArray(1 << 20, 'a') + "\"}"), "UNKNOWN COMMAND");
    EXPECT_EQ(msg("{\"TYPE\":\"\xff\xfe\"}"), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg(QByteArray(100000, '[') + QByteArray(100000, ']')), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg("{\"TYPE\":\"echo\",\"code\":123456789012345678901234567890}"), "NO JSON OBJ RECIEVED");
    EXPECT_EQ(msg("{\"TYPE\":\"echo\",\"code\":1e400}"), "NO JSON OBJ RECIEVED");
    for (const char* typeValue : {"true", "false", "null", "1", "1.5", "[]", "{}", "\"\""}) {
        EXPECT_EQ(msg(QByteArray("{\"TYPE\":") + typeValue + "}"), "UNKNOWN COMMAND") << typeValue;
    }
    EXPECT_EQ(type("{\"TYPE\":\"HEARTBEAT\"}"), "ACK");
}

}  // namespace
