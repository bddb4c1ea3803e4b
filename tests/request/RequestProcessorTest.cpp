// The request function: decoding, parsing, dispatch, the reply envelope and its log lines, as
// query -> exact reply bytes, markup escaped.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "Wait.h"
#include "base/Json.h"

using testsupport::commandRow;
using testsupport::DaemonEnvironment;

namespace {

RequestResult echoResult(CommandContext&, Request& request) {
    // Ends with the code the query asks for, after setting keys the frame must replace or keep.
    request.setText("TYPE", QStringLiteral("handler's own"));
    request.setText("note", QStringLiteral("a/b %41 ünï <b>&"));
    return static_cast<RequestResult>(json_integer_value(request.param("code")));
}
RequestResult throwing(CommandContext&, Request&) { throw std::runtime_error("boom"); }
RequestResult rawReply(CommandContext&, Request& request) {
    request.setRawResponse(QByteArray("Content-Type: image/png \r\n\r\n\x89PNG", 32));
    return Ack;
}
const QByteArray kFrame("\xff\xd8 frame bytes \0 \xff\xd9", 19);
RequestResult framedReply(CommandContext&, Request& request) {
    request.setRawResponse("Content-Type: image/jpeg \r\n\r\n", kFrame);
    return Ack;
}

class RequestProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        env().fcgi().setCommandTable({commandRow("echo", echoResult),
                                      commandRow("HEARTBEAT", [](CommandContext&, Request&) { return Ack; }, CommandAccess::Acting, CommandThread::Request, CommandLog::Quiet),
                                      commandRow("throw", throwing),
                                      commandRow("throwInt", [](CommandContext&, Request&) -> RequestResult { throw 42; }),
                                      commandRow("raw", rawReply),
                                      commandRow("framed", framedReply),
                                      commandRow("twice", [](CommandContext&, Request& r) { r.setText("which", QStringLiteral("<first>")); return Ack; }),
                                      commandRow("twice", [](CommandContext&, Request&) { return Failed; })});
    }
    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
};

TEST_F(RequestProcessorTest, RepliesAndLogsEveryOutcome) {
    const QByteArray noJson = R"({"TYPE":"ERR","MSG":"NO JSON OBJ RECIEVED"})";
    const QByteArray unknown = R"({"TYPE":"ERR","MSG":"UNKNOWN COMMAND"})";
    const QByteArray ack = R"({"TYPE":"ACK"})";
    // Markup is escaped: a browser that takes a reply for a page finds no tag in it.
    const QByteArray note = R"("note":"a\/b %41 )" "\xc3\xbcn\xc3\xaf" R"( \u003cb\u003e\u0026")";
    const auto echo = [&](const char* type, const char* msg) {
        return "{\"TYPE\":\"" + QByteArray(type) + "\"," + note + (msg ? ",\"MSG\":\"" + QByteArray(msg) + "\"" : "") + "}";
    };
    const struct {
        QByteArray query;
        QByteArray reply;
        const char* logLine;
    } rows[] = {
        {"not json", noJson, "| NO JSON OBJ RECIEVED: not json"},
        {"", noJson, nullptr},
        {R"({"type":"HEARTBEAT"})", R"({"TYPE":"ERR","MSG":"NO TYPE FIELD FOUND"})", nullptr},
        {R"({"TYPE":"heartbeat"})", unknown, "| UNKNOWN COMMAND: {\"TYPE\":\"heartbeat\"}"},
        {R"({"TYPE":"HEARTBEAT "})", unknown, nullptr},
        {"[1,2]", ack, nullptr},  // a top-level array is acknowledged and runs nothing
        // Only the four upper-case escapes are decoded; a plus sign stays a plus sign.
        {"%7B%22TYPE%22:%20%22HEARTBEAT%22%7D", ack, "recieved query string:{\"TYPE\": \"HEARTBEAT\"}"},
        {"%7b%22TYPE%22:%22HEARTBEAT%22%7d", noJson, nullptr},
        {"{%22TYPE%22:%22HEART%42EAT%22}", unknown, nullptr},
        {R"({"TYPE":+"HEARTBEAT"})", noJson, nullptr},
        // Hostile input is answered, and the next request served.
        {QByteArray(1 << 20, 'x'), noJson, nullptr},
        {"{\"TYPE\":\"" + QByteArray(1 << 20, 'a') + "\"}", unknown, nullptr},
        {"{\"TYPE\":\"\xff\xfe\"}", noJson, nullptr},
        {QByteArray(100000, '[') + QByteArray(100000, ']'), noJson, nullptr},
        {R"({"TYPE":"echo","code":123456789012345678901234567890})", noJson, nullptr},
        {R"({"TYPE":"echo","code":1e400})", noJson, nullptr},
        {R"({"TYPE":true})", unknown, nullptr},
        {R"({"TYPE":""})", unknown, nullptr},
        // Every result code: the frame's TYPE replaces the handler's, its other keys stay.
        {R"({"TYPE":"echo","code":0})", echo("ACK", nullptr), "| Done:{\"TYPE\":\"echo\",\"code\":0}"},
        {R"({"TYPE":"echo","code":1})", echo("DATA", nullptr), nullptr},
        {R"({"TYPE":"echo","code":2})", echo("ERR", "NO TYPE FIELD FOUND"), "| NO TYPE FIELD FOUND: {"},
        {R"({"TYPE":"echo","code":3})", echo("ERR", "UNKNOWN COMMAND"), "| UNKNOWN COMMAND: {"},
        {R"({"TYPE":"echo","code":4})", echo("ERR", "MISSING PARAMETER(S)"), "| MISSING PARAMETER(S): {"},
        {R"({"TYPE":"echo","code":5})", echo("ERR", "INVALID PARAMETER(S)"), "| INVALID PARAMETER(S): {"},
        {R"({"TYPE":"echo","code":6})", echo("ERR", "NO RUNNING PROGRAM"), "| NO RUNNING PROGRAM: {"},
        {R"({"TYPE":"echo","code":7})", echo("ERR", nullptr), "| ERROR: {\"TYPE\":\"echo\",\"code\":7}"},
        {R"({"TYPE":"echo","code":8})", echo("ERR", "File name is invalid."), nullptr},
        {R"({"TYPE":"echo","code":9})", echo("ERR", "UNKNOWN ERROR"), "| UNKNOWN ERROR: {"},
        {R"({"TYPE":"echo","code":-1})", echo("ERR", "UNKNOWN ERROR"), "| UNKNOWN ERROR: {"},
        // The first row of a name matches.
        {R"({"TYPE":"twice"})", R"({"which":"\u003cfirst\u003e","TYPE":"ACK"})", nullptr},
        // Near the page's plain {"TYPE":"name"}: the last "TYPE" counts, and trailing text is an error.
        {R"({"TYPE":"echo","TYPE":"HEARTBEAT"})", ack, nullptr},
        {R"({"TYPE":"HEARTBEAT"}"})", noJson, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query.left(60).constData());
        env().clearLog();
        EXPECT_EQ(env().request(row.query), "Content-type: text/html\r\n\r\n" + row.reply);
        const QString log = env().logText();
        EXPECT_TRUE(!row.logLine || log.contains(QString::fromUtf8(row.logLine))) << log.toStdString();
        EXPECT_LE(log.count("| Done:"), 1);
    }
    EXPECT_TRUE(env().fcgi().processRequest(nullptr).endsWith(noJson));
    EXPECT_TRUE(env().logText().contains("NO JSON OBJ RECIEVED: NULL QUERY STRING"));
}

TEST_F(RequestProcessorTest, QuietCommandsRawRepliesAndExceptionsWriteNoDoneLineAtLevelThree) {
    const QString log = env().logOf(3, [] {
        env().request(R"({"TYPE":"HEARTBEAT"})");
        env().request(R"({"TYPE":"echo","code":0})");
        EXPECT_EQ(env().request(R"({"TYPE":"raw"})"), QByteArray("Content-Type: image/png \r\n\r\n\x89PNG", 32));
        EXPECT_EQ(env().request(R"({"TYPE":"throw"})"), QByteArray());
        EXPECT_EQ(env().request(R"({"TYPE":"throwInt"})"), QByteArray());
    });
    EXPECT_EQ(log.count("| Done:"), 1);
    EXPECT_TRUE(log.contains(R"(| Done:{"TYPE":"echo","code":0})"));
    EXPECT_FALSE(log.contains("recieved query string"));  // level 4
    EXPECT_EQ(log.count(R"(EXCEPTION WHILE PROCESSING REQUEST !!!, request string: {"TYPE":"throw)"), 2);
    // At level 4 the quiet command's line shows.
    EXPECT_TRUE(env().logOf(4, [] { env().request(R"({"TYPE":"HEARTBEAT"})"); }).contains("| Done:"));
}

TEST_F(RequestProcessorTest, TwoPartResponsesShareTheRawBodyAndStartAfreshEachRequest) {
    // One response and one query buffer through every kind of reply, as the request loop uses them.
    Worker worker;
    FcgiConnections transport;
    const RequestProcessor processor(env().fcgi().context(),
                                     {commandRow("framed", framedReply), commandRow("raw", rawReply), commandRow("throw", throwing)},
                                     worker, transport);
    Response response;
    QByteArray query;
    const auto run = [&](const char* text) {
        processor.process(text, RequestHeaders(), response, query);
        EXPECT_EQ(response.joined(), processor.process(text)) << text;
    };
    run("%7B%22TYPE%22:%22framed%22%7D");
    EXPECT_EQ(response.head, "Content-Type: image/jpeg \r\n\r\n");
    EXPECT_EQ(response.body.constData(), kFrame.constData());  // the frame's own bytes, not a copy
    EXPECT_EQ(query, R"({"TYPE":"framed"})");
    run(R"({"TYPE":"none"})");
    EXPECT_EQ(response.head, "Content-type: text/html\r\n\r\n" R"({"TYPE":"ERR","MSG":"UNKNOWN COMMAND"})");
    EXPECT_TRUE(response.body.isNull());
    run(R"({"TYPE":"raw"})");  // a whole raw response is written as it is
    EXPECT_EQ(response.head, "");
    EXPECT_EQ(response.body, QByteArray("Content-Type: image/png \r\n\r\n\x89PNG", 32));
    run(R"({"TYPE":"throw"})");
    EXPECT_EQ(response.joined(), QByteArray());
    run(nullptr);
    EXPECT_EQ(query, "NULL QUERY STRING");
}

TEST(RequestDecodeTest, OnePassDecodesAsTheFourReplacementsInTurn) {
    // Random text over the escapes' own characters, into one scratch buffer that shrinks and grows.
    std::mt19937 random(18);
    const char alphabet[] = "%%27BDbd0x ";
    QByteArray scratch;
    for (int i = 0; i < 20000; ++i) {
        QByteArray text;
        for (int n = static_cast<int>(random() % 14); n > 0; --n) text += alphabet[random() % (sizeof(alphabet) - 1)];
        QByteArray expected = text;
        expected.replace("%20", " ").replace("%22", "\"").replace("%7B", "{").replace("%7D", "}");
        RequestProcessor::decode(text.constData(), scratch);
        ASSERT_EQ(scratch, expected) << text.constData();
        ASSERT_EQ(RequestProcessor::decode(text), expected) << text.constData();
    }
}

}  // namespace
