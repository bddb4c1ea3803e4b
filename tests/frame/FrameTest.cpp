// The request function (decoding, parsing, dispatch, the reply envelope and its log lines, as
// query -> exact reply bytes, markup escaped), file names, the file-system root, JSON text, the
// program store Fcgi prepares at start, and the UDP log channel.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QUdpSocket>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "Wait.h"
#include "frame/FsRoot.h"
#include "frame/Json.h"
#include "frame/UdpLogger.h"

using testsupport::DaemonEnvironment;

namespace {

RequestResult echoResult(Fcgi&, Request& request) {
    // Ends with the code the query asks for, after setting keys the frame must replace or keep.
    request.setText("TYPE", QStringLiteral("handler's own"));
    request.setText("note", QStringLiteral("a/b %41 ünï <b>&"));
    return static_cast<RequestResult>(json_integer_value(request.param("code")));
}
RequestResult throwing(Fcgi&, Request&) { throw std::runtime_error("boom"); }
RequestResult rawReply(Fcgi&, Request& request) {
    request.setRawResponse(QByteArray("Content-Type: image/png \r\n\r\n\x89PNG", 32));
    return Ack;
}
const QByteArray kFrame("\xff\xd8 frame bytes \0 \xff\xd9", 19);
RequestResult framedReply(Fcgi&, Request& request) {
    request.setRawResponse("Content-Type: image/jpeg \r\n\r\n", kFrame);
    return Ack;
}

class RequestProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        env().fcgi().setCommandTable({{"echo", echoResult, false},
                                      {"HEARTBEAT", [](Fcgi&, Request&) { return Ack; }, true},
                                      {"throw", throwing, false},
                                      {"throwInt", [](Fcgi&, Request&) -> RequestResult { throw 42; }, false},
                                      {"raw", rawReply, false},
                                      {"framed", framedReply, false},
                                      {"twice", [](Fcgi&, Request& r) { r.setText("which", QStringLiteral("<first>")); return Ack; }, false},
                                      {"twice", [](Fcgi&, Request&) { return Failed; }, false}});
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
        {R"({"TYPE":null})", unknown, nullptr},
        {R"({"TYPE":{}})", unknown, nullptr},
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
    const RequestProcessor processor(env().fcgi(),
                                     {{"framed", framedReply, false}, {"raw", rawReply, false}, {"throw", throwing, false}},
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

TEST(FcgiTest, AcceptsOnlyPlainFileNames) {
    Fcgi& fcgi = DaemonEnvironment::instance().fcgi();
    for (const char* good : {"a", "prog_1.rvw", "A-b.c", "...", "x.y.z-1_2"}) {
        EXPECT_TRUE(fcgi.isValidFilename(QString::fromUtf8(good))) << good;
    }
    for (const char* bad : {"", "a b", "a/b", "../x", "a\n", "ä", "a;rm", "$(x)", "a*", "a\\b"}) {
        EXPECT_FALSE(fcgi.isValidFilename(QString::fromUtf8(bad))) << bad;
    }
}

TEST(FsRootTest, RelocatesAbsolutePathsOnly) {
    const QString root = DaemonEnvironment::instance().root();
    EXPECT_EQ(FsRoot::fsPath("/etc/hostapd.conf"), root + "/etc/hostapd.conf");
    EXPECT_EQ(FsRoot::fsPath("./resources/nocam.png"), "./resources/nocam.png");
    EXPECT_EQ(FsRoot::robotPath(root + "/var/www/programs"), "/var/www/programs");
    // A sibling directory that merely starts with the same text is not inside the root.
    EXPECT_EQ(FsRoot::robotPath(root + "x/y"), root + "x/y");
}

// Random documents of every kind of value the replies hold.
json_t* randomValue(std::mt19937& random, int depth) {
    static const double kReals[] = {0.0, -0.0, 0.1, 1.5, -2.5e-300, 1e20, 1e21, 1e-7, 123456789012345678.0,
                                    DBL_MAX, DBL_MIN, 5e-324, 62.726, 1.0 / 3.0, 100000.0, -1e100};
    static const long long kIntegers[] = {0, 1, -1, 100000, INT64_MAX, INT64_MIN};
    switch (random() % (depth > 3 ? 5 : 7)) {
        case 0: return json_real(kReals[random() % (sizeof(kReals) / sizeof(*kReals))]);
        case 1: return json_real(std::ldexp(double(random()) - 2147483648.0, int(random() % 200) - 100));
        case 2: return json_integer(random() % 2 ? kIntegers[random() % 6] : (long long)(random()) - 99999);
        case 3: {
            std::string text;
            const char pick[] = {'a', '/', '"', '\\', '\n', '\t', '\b', '\f', '\r', '\x01', '\x1f', '\x7f', ' ', '%', '<', '>', '&'};
            for (int i = int(random() % 12); i > 0; --i) text += pick[random() % sizeof(pick)];
            if (random() % 3 == 0) text += "\xc3\xbc\xe2\x9c\x93\xf0\x9f\x98\x80";
            return json_stringn(text.data(), text.size());
        }
        case 4: return random() % 3 == 0 ? json_null() : json_boolean(random() % 2);
        case 5: {
            json_t* array = json_array();
            for (int i = int(random() % 4); i > 0; --i) json_array_append_new(array, randomValue(random, depth + 1));
            return array;
        }
        default: {
            json_t* object = json_object();
            for (int i = int(random() % 5); i > 0; --i) {
                const std::string key = "k/" + std::to_string(random() % 50) + (i % 2 ? "\"" : "");
                json_object_set_new(object, key.c_str(), randomValue(random, depth + 1));
            }
            return object;
        }
    }
}

// The library's own compact text with "<", ">" and "&" escaped as the replies have them (outside
// strings JSON text has none of them).
QByteArray libraryText(const json_t* value, size_t flags = 0x420) {
    return jsonDump(value, flags).replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026");
}

TEST(JsonTextTest, CompactWriterMatchesTheLibrarysOwnTextHoldsNoMarkupAndKeepsTextAbove127) {
    std::mt19937 random(20261206);
    for (int i = 0; i < 3000; ++i) {
        JsonPtr document(json_object());
        json_object_set_new(document.get(), "value<&>", randomValue(random, 0));
        const QByteArray text = jsonDumpCompact(document.get());
        ASSERT_EQ(text, libraryText(document.get())) << i;
        ASSERT_FALSE(text.contains('<') || text.contains('>') || text.contains('&')) << i;
        // Read back the same by this library and by another parser.
        ASSERT_TRUE(json_equal(JsonPtr(json_loads(text.constData(), 0, nullptr)).get(), document.get())) << i;
        ASSERT_EQ(QJsonDocument::fromJson(text), QJsonDocument::fromJson(jsonDump(document.get(), 0x420))) << i;
    }
    // Reals written again and again, more of them than the writer remembers texts for: each time
    // the text of that very value, never one of another value that shared its slot.
    std::vector<double> pool;
    for (int i = 0; i < 300; ++i) pool.push_back(std::ldexp(double(random()) - 2147483648.0, int(random() % 80) - 40));
    pool.insert(pool.end(), {0.0, -0.0, 1.0, 0.1, 1e21, 5e-324, DBL_MAX});
    for (int i = 0; i < 20000; ++i) {
        const JsonPtr real(json_real(pool[random() % pool.size()]));
        ASSERT_EQ(jsonDumpCompact(real.get()), libraryText(real.get(), 0x420 | JSON_ENCODE_ANY)) << i;
    }
    const QString text = QString::fromUtf8("Grüße ✓ \"q\" /");
    EXPECT_EQ(jsonToQString(JsonPtr(jsonFromQString(text)).get()), text);
    EXPECT_TRUE(jsonToQString(JsonPtr(json_integer(3)).get()).isNull());
}

TEST(FcgiTest, PreparesTheProgramStoreAndItsLink) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    env.fcgi();  // the first construction made the folder and the link
    const QString link = env.path("/var/www/programs");
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/programs"));
    // Everyone may store programs; only an entry's owner may rename or delete it (sticky bit).
    const auto mode = [&](const char* path) { return testsupport::fileMode(env.path(path)); };
    EXPECT_EQ(mode("/home/corvanta/programs"), 01777u);

    // A second start replaces the link, also one left dangling.
    env.setConfig("[Flowdesk]\nprogrampath=/home/corvanta/moved\n");
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(env.path("/nowhere"), link));
    const QString log = env.logOf(100, [] { Fcgi second{CommandTable()}; });
    EXPECT_FALSE(log.contains("ERROR"));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/moved"));
    EXPECT_EQ(mode("/home/corvanta/moved"), 01777u);

    // A link planted at the store's own name does not hand its target the store's mode.
    env.setConfig("[Flowdesk]\nprogrampath=/home/corvanta/linked\n");
    ASSERT_TRUE(QDir().mkpath(env.path("/etc/cron.d")));
    ASSERT_EQ(::chmod(QFile::encodeName(env.path("/etc/cron.d")).constData(), 0755), 0);
    ASSERT_TRUE(QFile::link(env.path("/etc/cron.d"), env.path("/home/corvanta/linked")));
    EXPECT_TRUE(env.logOf(0, [] { Fcgi third{CommandTable()}; })
                    .contains("ERROR: Cannot set the mode of /home/corvanta/linked"));
    EXPECT_EQ(mode("/etc/cron.d"), 0755u);

    env.setConfig("");
}

// The UDP log channel: one datagram per message at or below its verbosity, only while it is on.
TEST(UdpLoggerTest, SendsWhatIsAtOrBelowTheVerbosityOnlyWhileOn) {
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    UdpLogger* udp = UdpLogger::Singleton();
    udp->setIP(QStringLiteral("127.0.0.1"));
    udp->setPort(receiver.localPort());
    udp->setVerbosity(1);
    udp->setEnabled(false);
    udp->sendMsg(QStringLiteral("off"), 0);
    udp->setEnabled(true);
    udp->sendMsg(QStringLiteral("above"), 2);
    udp->broadcastLog(QStringLiteral("level 0"), 0);
    udp->sendMsg(QStringLiteral("at the verbosity"), 1);  // the last one: nothing else comes before it
    QList<QByteArray> received;
    testsupport::waitFor([&] {
        while (receiver.hasPendingDatagrams()) {
            QByteArray datagram(static_cast<int>(receiver.pendingDatagramSize()), '\0');
            receiver.readDatagram(datagram.data(), datagram.size());
            received.append(datagram);
        }
        return received.contains("at the verbosity");
    });
    udp->setEnabled(false);
    EXPECT_EQ(received, QList<QByteArray>({"level 0", "at the verbosity"}));
}

}  // namespace
