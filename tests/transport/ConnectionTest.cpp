// The request loop over a real FastCGI socket: serving, stopping with a request in progress
// (which still finishes and is answered), peers that stall, trickle or stop reading holding only
// themselves, what one kept connection may carry (bodies, late records, requests written at
// once, HEAD, management records and hostile records), the connection limit, an accept that
// cannot work ending the loop with a level-0 line, and replies that come later (work in the
// worker thread, the package tool) holding nobody, nor more than 48 connections; replies that stay
// open (camera streams): parts in order, a slow peer getting the newest part rather than a queue,
// a peer that takes nothing dropped while one that reads lives on, a fifth stream ending the oldest,
// streams and waits for the next frame among the 48, and a stop ending them.
// ctest: threads
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "FcgiClient.h"
#include "Wait.h"
#include "robot/ImageHandler.h"
#include "robot/ImageStreams.h"
#include "transport/FcgiConnection.h"
#include "system/PackageListing.h"
#include "system/SystemInfoCommands.h"

using testsupport::commandRow;
using testsupport::DaemonEnvironment;
using testsupport::hasParts;
using testsupport::streamParts;
using namespace testsupport::fcgiclient;

namespace {

/// Makes a Unix socket at `path` the process's standard input, as a FastCGI spawner does;
/// with `listening` false it is only bound. False on failure.
bool socketOnStdin(const QString& path, bool listening = true) {
    ::unlink(path.toLocal8Bit().constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.toLocal8Bit().constData(), sizeof(address.sun_path) - 1);
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                    (!listening || ::listen(fd, 128) == 0) && ::dup2(fd, 0) == 0;
    ::close(fd);
    return ok;
}

// What every reply begins with: no browser sniffs it, runs its script or frames it.
const QByteArray kGuard =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'; sandbox\r\n";
const QByteArray kJson = kGuard + "Content-type: text/html\r\n\r\n";
const QByteArray kAck = kJson + "{\"TYPE\":\"ACK\"}";
std::atomic<bool> g_slowStarted{false};
std::atomic<bool> g_slowMayFinish{false};

RequestResult slow(CommandContext&, Request& request) {
    g_slowStarted = true;
    while (!g_slowMayFinish) QThread::msleep(1);
    request.setText("finished", QStringLiteral("yes"));
    return Ack;
}
RequestResult fast(CommandContext&, Request&) { return Ack; }
// A raw reply of "bytes" bytes, each its offset's low byte.
const char kRawHeader[] = "Content-Type: application/octet-stream\r\n\r\n";
QByteArray rawBody(int bytes) {
    QByteArray body(bytes, '\0');
    for (int i = 0; i < bytes; ++i) body[i] = char(i);
    return body;
}
RequestResult raw(CommandContext&, Request& request) {
    request.setRawResponse(kRawHeader, rawBody(int(json_integer_value(request.param("bytes")))));
    return Ack;
}
QByteArray rawQuery(int bytes) { return "{\"TYPE\":\"raw\",\"bytes\":" + QByteArray::number(bytes) + "}"; }

// Replies that come later: each "later" request's handle, finished by the test.
std::mutex g_laterMutex;
std::vector<std::shared_ptr<DeferredReply>> g_later;
RequestResult later(CommandContext&, Request& request) {
    std::lock_guard<std::mutex> lock(g_laterMutex);
    g_later.push_back(request.defer());
    return Failed;  // not what the reply says: it comes later
}
size_t laterCount() {
    std::lock_guard<std::mutex> lock(g_laterMutex);
    return g_later.size();
}
// Finishes the `i`th "later" request from a thread of its own, with {"n":i}.
void finishLater(size_t i) {
    std::shared_ptr<DeferredReply> reply;
    {
        std::lock_guard<std::mutex> lock(g_laterMutex);
        reply = g_later.at(i);
    }
    std::thread([reply, i] { reply->finish(Data, JsonPtr(json_pack("{s:i}", "n", int(i)))); }).join();
}
QByteArray laterReply(int i) {
    return kJson + "{\"n\":" + QByteArray::number(i) + ",\"TYPE\":\"DATA\"}";
}

// Worker work that only counts that it ran.
std::atomic<int> g_counted{0};
RequestResult counted(CommandContext&, Request&) {
    ++g_counted;
    return Ack;
}
const QByteArray kTooManyWaiting =
    kJson + "{\"MSG\":\"TOO MANY REQUESTS WAITING\",\"TYPE\":\"ERR\"}";

// The daemon's own row of `name`, for the commands that must always get through.
Command daemonRow(const char* name) {
    for (const Command& row : webgatedCommands()) {
        if (std::strcmp(row.name, name) == 0) return row;
    }
    ADD_FAILURE() << name;
    return commandRow(name, fast);
}

// A package tool found first on the PATH while it lives: `script` after "#!/bin/sh".
class StandInTool {
public:
    StandInTool() : m_dir(QFile::encodeName(m_bin.path())), m_path(qgetenv("PATH")) {
        qputenv("PATH", m_dir + ":" + m_path);
    }
    ~StandInTool() {
        release();  // a test that failed half-way leaves no tool waiting for it
        qputenv("PATH", m_path);
    }
    bool write(const QByteArray& script) {
        QFile file(m_bin.path() + "/dpkg");
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
               file.write("#!/bin/sh\n" + script) > 0 &&
               file.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    }
    /// Runs until release(), noting each start in "runs", then lists one package.
    bool writeBlocking() {
        return write("echo run >>" + m_dir + "/runs\nuntil [ -e " + m_dir +
                     "/go ]; do sleep 0.01; done\n"
                     "printf 'Desired\\n+++-===\\nii  pkg  1.0  amd64  text\\n'\n");
    }
    bool release() { return QFile(m_bin.path() + "/go").open(QIODevice::WriteOnly); }
    qint64 starts() const { return QFile(m_bin.path() + "/runs").size() / 4; }
    const QByteArray& dir() const { return m_dir; }

private:
    QTemporaryDir m_bin;
    const QByteArray m_dir;
    const QByteArray m_path;
};
// The camera: a stream, the next frame after `sequence`, and frames of the robot passed through
// as its JPEG files are: `bytes` bytes of their number.
const QByteArray kStream = R"({"TYPE":"getimage","stream":true})";
QByteArray after(quint64 sequence) { return "{\"TYPE\":\"getimage\",\"after\":" + QByteArray::number(sequence) + "}"; }
// Each frame is made once and kept: the main thread that replaces it would otherwise free bytes
// the request thread has read, which ThreadSanitizer, blind to Qt's own reference counts, takes
// for a race.
QByteArray frame(int number, int bytes) {
    static std::map<std::pair<int, int>, QByteArray> made;
    QByteArray& kept = made[{number, bytes}];
    if (kept.isEmpty()) kept = QByteArray(bytes, char(number));
    return kept;
}
ImageHandler& camera() { return DaemonEnvironment::instance().fcgi().context().camera.images(); }
quint64 publish(int number, int bytes) {
    camera().on_client_image0_changed(frame(number, bytes), 64, 48, 0, QStringLiteral("mjpg"));
    return camera().sequence();
}

const QByteArray kListed =
    kJson + R"({"DATA":[{"sts":"ii","nme":"pkg","ver":"1.0"}],"TYPE":"ACK"})";

class ConnectionTest : public ::testing::Test {
protected:
    // Once, before any request thread: Qt's thread hand-over is invisible to ThreadSanitizer, so
    // replacing the table between two runs would show as a race with the last run's thread.
    static void SetUpTestSuite() {
        DaemonEnvironment::instance().fcgi().setCommandTable(
            {commandRow("slow", slow),
             commandRow("fast", fast),
             commandRow("raw", raw, CommandAccess::Reading),
             commandRow("work", slow, CommandAccess::Acting, CommandThread::Worker),
             commandRow("later", later),
             commandRow("counted", counted, CommandAccess::Acting, CommandThread::Worker),
             daemonRow("stop"),
             daemonRow("HEARTBEAT"),
             daemonRow("getimage"),
             daemonRow("getSettingsCategoryXML"),
             commandRow("updateCheck", [](CommandContext& c, Request& request) {
                  return SystemInfoCommands::updateCheck(request, c.packages);
              })});
    }
    void start(int readLimitMs = Fcgi::kReadTimeoutMs) {
        g_slowStarted = g_slowMayFinish = false;
        ASSERT_TRUE(socketOnStdin(m_socket));
        m_env.fcgi().setReadTimeoutMs(readLimitMs);
        m_env.fcgi().start();
    }
    void TearDown() override { EXPECT_TRUE(m_env.fcgi().stop()); }
    /// One request on a connection of its own, answered with a plain ACK.
    void expectAck(const QByteArray& query = "{\"TYPE\":\"fast\"}") {
        QByteArray out;
        ASSERT_TRUE(get(m_socket, query, &out)) << query.constData();
        EXPECT_EQ(out, kAck) << query.constData();
    }
    /// Once this returns, what was posted to the loop before it has been handed to the connections:
    /// the work itself on the first marker's turn, what it posted by the second's.
    void settle() {
        expectAck();
        expectAck();
    }

    DaemonEnvironment& m_env = DaemonEnvironment::instance();
    const QString m_socket = m_env.root() + QStringLiteral("/connections.sock");
};
using RequestLoopTest = ConnectionTest;

// A stop lets the request in progress finish and be answered, answers the replies that come within
// its grace time and drops the others; after it nothing is accepted.
TEST_F(RequestLoopTest, AStopFinishesTheRequestInProgressAndTheRepliesThatComeInItsGrace) {
    start();
    m_env.clearLog();
    Fcgi& fcgi = m_env.fcgi();
    expectAck();
    const size_t first = laterCount();
    Peer answered(m_socket);
    Peer dropped(m_socket);
    ASSERT_TRUE(answered.write(request(1, "{\"TYPE\":\"later\"}")));
    ASSERT_TRUE(dropped.write(request(1, "{\"TYPE\":\"later\"}")));
    ASSERT_TRUE(testsupport::waitFor([&] { return laterCount() == first + 2; }));
    QByteArray slowOut;
    bool slowOk = false;
    Peer viewer(m_socket);  // a camera stream
    ASSERT_TRUE(viewer.write(request(1, kStream)));
    ASSERT_TRUE(viewer.waitOutput(hasParts(1)));
    std::thread client([&] { slowOk = get(m_socket, "{\"TYPE\":\"slow\"}", &slowOut); });
    ASSERT_TRUE(testsupport::waitFor([] { return g_slowStarted.load(); }, 5000));
    // One reply comes, and the handler may finish, once the stop has begun.
    std::thread release([&] {
        for (int i = 0; i < 10000 && !fcgi.isStopping(); ++i) QThread::msleep(1);
        finishLater(first);
        g_slowMayFinish = true;
    });
    EXPECT_TRUE(fcgi.stop());
    release.join();
    client.join();
    EXPECT_FALSE(fcgi.isRunning());
    EXPECT_TRUE(slowOk);
    EXPECT_EQ(slowOut, kJson + "{\"finished\":\"yes\",\"TYPE\":\"ACK\"}");
    EXPECT_EQ(fcgi.requestCount(), 5u);
    Answer answer;
    ASSERT_TRUE(answered.next(&answer));
    EXPECT_EQ(answer.content, laterReply(int(first)));
    // The stream has ended, as a multipart body ends.
    ASSERT_TRUE(viewer.next(&answer));
    EXPECT_EQ(answer.type, kEndRequest);
    EXPECT_TRUE(answer.content.endsWith("\r\n--webgatedframe\r\n" + QByteArray::fromStdString(ImageStreams::kClosing)));
    EXPECT_TRUE(dropped.waitClosed(0));
    EXPECT_TRUE(m_env.logText().contains("1 requests whose replies were still to come get none"));
    finishLater(first + 1);  // after the loop: nobody waits for it
    EXPECT_FALSE(get(m_socket, "{\"TYPE\":\"fast\"}", nullptr, 500));
}

// Three peers stalled in the middle of a request and one sending a byte now and then: a fresh
// request is answered between any two of the trickler's bytes, while all four are still open.
TEST_F(ConnectionTest, StalledAndTricklingPeersHoldOnlyThemselves) {
    start();
    const QByteArray whole = request(7, "{\"TYPE\":\"fast\"}");
    std::vector<std::unique_ptr<Peer>> stalled;
    for (int cut : {3, 8, int(whole.size()) - 1}) {
        stalled.push_back(std::make_unique<Peer>(m_socket));
        ASSERT_TRUE(stalled.back()->write(whole.left(cut)));
    }
    Peer trickler(m_socket);
    for (int i = 0; i < whole.size(); ++i) {
        ASSERT_TRUE(trickler.write(whole.mid(i, 1)));
        expectAck();
    }
    Answer answer;
    ASSERT_TRUE(trickler.next(&answer));
    EXPECT_EQ(answer.id, 7);
    EXPECT_EQ(answer.content, kAck);
    for (const auto& peer : stalled) EXPECT_FALSE(peer->waitClosed(0));
}

// However slowly the bytes come, a request not complete within the limit of its first byte drops
// its connection.
TEST_F(ConnectionTest, ATrickleIsDroppedAtTheLimitOfItsFirstByte) {
    start(300);
    const QByteArray whole = request(1, "{\"TYPE\":\"fast\"}" + QByteArray(100, ' '));
    Peer trickler(m_socket);
    int sent = 0;
    while (sent < whole.size() && !trickler.waitClosed(20)) trickler.write(whole.mid(sent++, 1));
    EXPECT_LT(sent, whole.size());
    Answer answer;
    EXPECT_FALSE(trickler.next(&answer, 0));
}

// A peer that reads none of its reply holds only itself: others are answered while it is still
// connected, and it is dropped once its reply has not moved for the limit.
TEST_F(ConnectionTest, RepliesOfEverySizeArriveWholeAndAPeerThatDoesNotReadIsDropped) {
    start();
    // Empty, one record exactly, one byte more, several records, more than the socket holds.
    const int header = int(kGuard.size()) + int(sizeof(kRawHeader)) - 1;
    for (int bytes : {0, 65528 - header, 65529 - header, 200000, 3 << 20}) {
        SCOPED_TRACE(bytes);
        QByteArray out;
        ASSERT_TRUE(get(m_socket, rawQuery(bytes), &out));
        EXPECT_TRUE(out == kGuard + kRawHeader + rawBody(bytes));
    }
    Peer deaf(m_socket);  // asks for more than the socket holds and reads none of it
    ASSERT_TRUE(deaf.write(request(1, rawQuery(8 << 20))));
    ASSERT_TRUE(testsupport::waitFor([this] { return m_env.fcgi().requestCount() > 5; }));
    expectAck();
    EXPECT_FALSE(deaf.waitHungUp(0));
    EXPECT_TRUE(deaf.waitHungUp(3 * Fcgi::kReadTimeoutMs));
}

struct Step {
    QByteArray write;
    QList<Answer> answers;  // what the write brings, in this order
};
Answer end(int id, const QByteArray& out, int status = 0) { return {kEndRequest, id, out, status}; }

// What one kept connection may carry. After each row the connection serves a plain request, or
// (`closes`) the daemon has closed it.
TEST_F(ConnectionTest, OneKeptConnectionCarriesBodiesLateRecordsBatchesAndHead) {
    start();
    const QByteArray fastQuery = "{\"TYPE\":\"fast\"}";
    const Pairs post = {{"REQUEST_METHOD", "POST"}};
    const Pairs head = {{"REQUEST_METHOD", "HEAD"}};
    const QByteArray tooLarge = kGuard + "Status: 413 Payload Too Large\r\nContent-type: text/html\r\n\r\n"
                                "{\"TYPE\":\"ERR\",\"MSG\":\"REQUEST BODY TOO LARGE\"}";
    const QByteArray headerOnly = kJson;
    const QByteArray refusedHead = kGuard + "Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n\r\n";
    const QByteArray raw3 = kGuard + kRawHeader + rawBody(3);
    const QByteArray maxValues = nameValue("FCGI_MAX_CONNS", "64") + nameValue("FCGI_MPXS_CONNS", "0");
    const struct {
        const char* what;
        bool closes;
        QList<Step> steps;
    } rows[] = {
        {"a POST with a 20 KB body, then a GET", false,
         {{request(1, fastQuery, true, post, QByteArray(20000, 'b')), {end(1, kAck)}},
          {request(1, fastQuery), {end(1, kAck)}}}},
        {"a body of exactly 1 MiB with its length given", false,
         {{request(2, fastQuery, true, {{"CONTENT_LENGTH", "1048576"}}, QByteArray(1 << 20, 'b')), {end(2, kAck)}}}},
        {"a body of 2 MiB is answered, read to its end, and its connection closed", true,
         {{request(1, fastQuery, true, post, QByteArray(2 << 20, 'b')), {end(1, tooLarge)}}}},
        {"a late empty body end after the reply, then a request", false,
         {{request(1, fastQuery, true, {}, QByteArray(), false), {end(1, kAck)}},
          {record(kStdin, 1, QByteArray()) + request(1, rawQuery(3)), {end(1, raw3)}}}},
        {"the rest of a body after the reply of a GET", false,
         {{request(1, fastQuery, true, {{"REQUEST_METHOD", "GET"}}, QByteArray(), false), {end(1, kAck)}},
          {record(kStdin, 1, QByteArray(5000, 'x')) + record(kStdin, 1, QByteArray()), {}}}},
        {"two requests in one write, another id", false,
         {{request(1, rawQuery(3)) + request(2, fastQuery), {end(1, raw3), end(2, kAck)}}}},
        {"two requests in one write, the same id", false,
         {{request(5, fastQuery) + request(5, rawQuery(3)), {end(5, kAck), end(5, raw3)}}}},
        {"HEAD of a reading command gets its headers alone", false,
         {{request(1, rawQuery(3), true, head), {end(1, kGuard + kRawHeader)}}}},
        {"HEAD of an acting command runs nothing", false,
         {{request(1, fastQuery, true, head), {end(1, refusedHead)}}}},
        {"HEAD of a query that is no command", false,
         {{request(1, "not json", true, head), {end(1, headerOnly)}}}},
        {"management: the values asked that it knows, an unknown type, a request id of 0", false,
         {{record(kGetValues, 0, nameValue("FCGI_MAX_CONNS", "") + nameValue("NO_SUCH", "") + nameValue("FCGI_MPXS_CONNS", "")) +
               record(20, 0, "x") + begin(0, true),
           {{kGetValuesResult, 0, maxValues},
            {kUnknownType, 0, QByteArray("\x14", 1) + QByteArray(7, '\0')},
            {kUnknownType, 0, QByteArray("\x01", 1) + QByteArray(7, '\0')}}}}},
        {"management: values asked thousands of times are answered once, in one record", false,
         {{record(kGetValues, 0, nameValue("FCGI_MAX_CONNS", "").repeated(3000) + nameValue("FCGI_MPXS_CONNS", "").repeated(800)),
           {{kGetValuesResult, 0, maxValues}}}}},
        {"request id 65535, records of unknown types and the largest padding", false,
         {{begin(65535, true) + record(99, 65535, "?") + record(kParams, 65535, nameValue("QUERY_STRING", fastQuery), 255) +
               record(kParams, 65535, QByteArray()) + record(kStdin, 65535, QByteArray()),
           {end(65535, kAck)}}}},
        {"another role is refused", false,
         {{begin(1, true, 2) + request(2, fastQuery), {end(1, QByteArray(), 3), end(2, kAck)}}}},
        {"a second request while the first is read is refused, the first answered", false,
         {{begin(1, true) + begin(2, true) + record(kParams, 1, nameValue("QUERY_STRING", fastQuery)) +
               record(kParams, 1, QByteArray()) + record(kStdin, 1, QByteArray()),
           {end(2, QByteArray(), 1), end(1, kAck)}}}},
        {"an aborted request ends without a reply", false,
         {{begin(3, true) + record(kParams, 3, nameValue("QUERY_STRING", fastQuery)) + record(kAbortRequest, 3, ""),
           {end(3, QByteArray())}}}},
        {"a record of another version", true, {{QByteArray("\2\1\0\1\0\10\0\0", 8) + QByteArray(8, '\0'), {}}}},
        {"a malformed request start", true, {{record(kBeginRequest, 1, "\0\1\1"), {}}}},
        {"a parameter longer than its record", true, {{begin(1, true) + record(kParams, 1, "\x04\x7fNAMEv") + record(kParams, 1, ""), {}}}},
        {"parameters that never end", true,
         {{begin(1, true) + [] {
               QByteArray endless;
               for (int i = 0; i < 17; ++i) endless += record(kParams, 1, nameValue("X", QByteArray(65000, 'p')));
               return endless;
           }(),
           {}}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Peer peer(m_socket);
        for (const Step& step : row.steps) {
            ASSERT_TRUE(peer.write(step.write));
            for (const Answer& expected : step.answers) {
                Answer got;
                ASSERT_TRUE(peer.next(&got));
                EXPECT_EQ(got.type, expected.type);
                EXPECT_EQ(got.id, expected.id);
                EXPECT_TRUE(got.content == expected.content) << got.content.left(300).toStdString();
                EXPECT_EQ(got.status, expected.status);  // -1 for all but a request's end
            }
        }
        if (row.closes) {
            // At once, not by the limit of an incomplete request.
            EXPECT_TRUE(peer.waitClosed(Fcgi::kReadTimeoutMs / 2));
            continue;
        }
        Answer got;
        ASSERT_TRUE(peer.write(request(9, fastQuery)));
        ASSERT_TRUE(peer.next(&got));
        EXPECT_EQ(got.id, 9);
        EXPECT_EQ(got.content, kAck);
    }
}

// Every reply carries the guard lines once, before its own: no browser sniffs another type in it,
// runs a script of it or shows it in a frame. The other tests compare JSON replies, refusals and
// replies in two parts (an image's, the figures') whole; this is one a command writes whole.
TEST_F(ConnectionTest, AReplyACommandWritesWholeCarriesTheGuardLinesToo) {
    start();
    QByteArray out;
    ASSERT_TRUE(get(m_socket, "{\"TYPE\":\"getSettingsCategoryXML\"}", &out));
    EXPECT_TRUE(out.startsWith(kGuard + "Content-type: text/xml\r\n\r\n")) << out.left(200).data();
}

namespace {

// Steps `connection` alone, as the loop would, until `done` (false after 10 s or once it closes).
bool stepUntil(FcgiConnection& connection, QElapsedTimer& clock, const std::function<bool()>& done) {
    const qint64 deadline = clock.elapsed() + 10000;
    while (!done()) {
        pollfd ready = {connection.fd(), connection.pollEvents(), 0};
        if (clock.elapsed() > deadline || (::poll(&ready, 1, 10) < 0 && errno != EINTR) ||
            !connection.step(ready.revents, clock.elapsed())) {
            return false;
        }
    }
    return true;
}

// A handler that answers "{}" and counts the requests it served.
FcgiHandler countingHandler(int& served) {
    return [&served](const fcgi::Params&, Response& response) {
        ++served;
        response.head = "Content-type: text/html\r\n\r\n{}";
    };
}

}  // namespace

// A request with 1 MiB of parameters or of body leaves its kept connection holding little (16
// such connections held 30 MB more); so does one dropped half-way, kept for the next connection.
TEST_F(ConnectionTest, AConnectionsBuffersShrinkAfterALargeRequest) {
    const QString path = m_env.root() + QStringLiteral("/buffers.sock");
    ASSERT_TRUE(socketOnStdin(path));
    int served = 0;
    const FcgiHandler handler = countingHandler(served);
    std::atomic<int> parked{0};
    const auto shared = std::make_unique<FcgiShared>(FcgiLimits(), handler, parked);
    FcgiConnection connection(*shared);
    QElapsedTimer clock;
    clock.start();
    constexpr size_t kLittle = 64 * 1024;
    // 1 MiB of parameters in records of 60,000 bytes.
    const QByteArray pairs = nameValue("HTTP_X_LARGE", QByteArray((1 << 20) - 100, 'p'));
    QByteArray largeParams = begin(1, true);
    for (int at = 0; at < pairs.size(); at += 60000) largeParams += record(kParams, 1, pairs.mid(at, 60000));
    const QByteArray ending = record(kParams, 1, nameValue("QUERY_STRING", "{}")) + record(kParams, 1, QByteArray()) +
                              record(kStdin, 1, QByteArray());
    const size_t large = size_t(pairs.size());
    const struct {
        const char* what;
        QByteArray first;  // a whole request, or a part the connection then holds
        QByteArray rest;   // the request's end, or nothing: the connection is closed half-way
        bool whole;
    } rows[] = {
        {"1 MiB of parameters", largeParams, ending, false},
        {"a body of 1 MiB", request(1, "{}", true, {{"REQUEST_METHOD", "POST"}}, QByteArray(1 << 20, 'b')), QByteArray(), true},
        {"1 MiB of parameters, dropped half-way", largeParams, QByteArray(), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Peer peer(path);
        const int fd = ::accept4(0, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        ASSERT_GE(fd, 0);
        connection.open(fd);
        const int before = served;
        std::atomic<bool> writing{true};
        bool written = false;
        std::thread writer([&] {
            written = peer.write(row.first);
            writing = false;
        });
        const bool stepped = stepUntil(connection, clock, [&] {
            return row.whole ? served > before : !writing && connection.heldBytes() >= large;
        });
        writer.join();
        ASSERT_TRUE(stepped && written);
        if (!row.whole) {
            if (row.rest.isEmpty()) {
                connection.close();
                EXPECT_LE(connection.heldBytes(), kLittle);
                continue;
            }
            ASSERT_TRUE(peer.write(row.rest));
        }
        ASSERT_TRUE(stepUntil(connection, clock, [&] { return served > before && !connection.hasOutput(); }));
        Answer answer;
        ASSERT_TRUE(peer.next(&answer));
        EXPECT_EQ(answer.content, kJson + "{}");
        EXPECT_LE(connection.heldBytes(), kLittle);
        connection.close();
    }
}

// No record is longer than its 16-bit length can say: longer content goes on in further ones.
TEST_F(ConnectionTest, ANewConnectionBeyondTheLimitClosesALingeringOrTheLeastRecentlyUsedOne) {
    start();
    for (const bool lingering : {true, false}) {
        SCOPED_TRACE(lingering ? "one answered connection lingers" : "all are kept");
        std::vector<std::unique_ptr<Peer>> peers;
        Answer answer;
        for (int i = 0; i < 64; ++i) {
            peers.push_back(std::make_unique<Peer>(m_socket));
            // The lingering one is not kept and has not ended its (empty) body when it is answered.
            const bool lingers = lingering && i == 10;
            ASSERT_TRUE(peers.back()->write(request(1, "{\"TYPE\":\"fast\"}", !lingers, {}, QByteArray(), !lingers)));
            ASSERT_TRUE(peers.back()->next(&answer));
        }
        // The first is used again: the second is now the least recently used.
        ASSERT_TRUE(peers[0]->write(request(1, "{\"TYPE\":\"fast\"}")));
        ASSERT_TRUE(peers[0]->next(&answer));
        Peer extra(m_socket);
        ASSERT_TRUE(extra.write(request(1, "{\"TYPE\":\"fast\"}")));
        ASSERT_TRUE(extra.next(&answer));
        EXPECT_EQ(answer.content, kAck);
        const size_t closed = lingering ? 10 : 1;
        EXPECT_TRUE(peers[closed]->waitClosed(10000));
        for (size_t i = 0; i < peers.size(); ++i) {
            if (i != closed) {
                EXPECT_FALSE(peers[i]->waitClosed(0)) << i;
            }
        }
    }
}

TEST_F(ConnectionTest, AnAcceptThatCannotWorkEndsTheLoopWithALevel0Line) {
    ASSERT_TRUE(socketOnStdin(m_socket, false));
    m_env.clearLog();
    m_env.fcgi().start();
    ASSERT_TRUE(m_env.fcgi().wait(10000));
    EXPECT_TRUE(m_env.fcgi().hasLoopFailed());
    EXPECT_TRUE(m_env.logText().contains(QStringLiteral(
        "ERROR: the request loop ended, no more requests are served: accept failed: ")));
}

// Requests whose peers have left do not pile up for the worker: beyond 64 waiting jobs the next
// is refused at once.
TEST_F(ConnectionTest, TheWorkerTakesNoMoreThanItsLimitOfWaitingJobs) {
    start();
    Fcgi& fcgi = m_env.fcgi();
    Peer running(m_socket);
    ASSERT_TRUE(running.write(request(1, "{\"TYPE\":\"work\"}")));
    ASSERT_TRUE(testsupport::waitFor([] { return g_slowStarted.load(); }));
    EXPECT_EQ(fcgi.parkedConnections(), 1);  // a job in the worker waits like any later reply
    const quint64 served = fcgi.requestCount();
    for (quint64 i = 1; i <= 64; ++i) {
        ASSERT_TRUE(Peer(m_socket).write(request(1, "{\"TYPE\":\"work\"}")));
        ASSERT_TRUE(testsupport::waitFor([&] { return fcgi.requestCount() == served + i; }));
    }
    Peer refused(m_socket);
    ASSERT_TRUE(refused.write(request(1, "{\"TYPE\":\"work\"}")));
    Answer answer;
    ASSERT_TRUE(refused.next(&answer));
    EXPECT_EQ(answer.content, kJson + "{\"TYPE\":\"ERR\"}");
    g_slowMayFinish = true;
    ASSERT_TRUE(running.next(&answer));
    EXPECT_EQ(answer.content, kJson + "{\"finished\":\"yes\",\"TYPE\":\"ACK\"}");
}

// A peer that closes, or aborts its request, while the reply is still to come is dropped; the
// reply that comes after finds nobody and the loop serves on.
TEST_F(ConnectionTest, APeerThatLeavesBeforeItsReplyIsDroppedCleanly) {
    start();
    m_env.clearLog();
    const size_t first = laterCount();
    auto closing = std::make_unique<Peer>(m_socket);
    Peer aborting(m_socket);
    ASSERT_TRUE(closing->write(request(1, "{\"TYPE\":\"later\"}")));
    ASSERT_TRUE(aborting.write(request(4, "{\"TYPE\":\"later\"}")));
    ASSERT_TRUE(testsupport::waitFor([&] { return laterCount() == first + 2; }));
    // Camera streams, with a part on its way that the peer has not taken.
    auto closingViewer = std::make_unique<Peer>(m_socket);
    Peer abortingViewer(m_socket);
    ASSERT_TRUE(closingViewer->write(request(1, kStream)));
    ASSERT_TRUE(abortingViewer.write(request(2, kStream)));
    ASSERT_TRUE(testsupport::waitFor([&] { return m_env.fcgi().parkedConnections() == 4; }));
    publish(1, 1 << 20);
    settle();
    closing.reset();
    closingViewer.reset();
    ASSERT_TRUE(aborting.write(record(kAbortRequest, 4, "")));
    ASSERT_TRUE(abortingViewer.write(record(kAbortRequest, 2, "")));
    Answer answer;
    ASSERT_TRUE(aborting.next(&answer));
    EXPECT_EQ(answer.type, kEndRequest);
    EXPECT_EQ(answer.content, QByteArray());
    ASSERT_TRUE(abortingViewer.next(&answer));
    EXPECT_EQ(answer.type, kEndRequest);
    EXPECT_TRUE(answer.content.startsWith(kGuard + "Content-Type: multipart/x-mixed-replace"));
    EXPECT_TRUE(testsupport::waitFor([&] { return m_env.fcgi().parkedConnections() == 0; }));
    EXPECT_TRUE(m_env.logText().contains(QStringLiteral("closed by the web server before its reply")));
    EXPECT_TRUE(m_env.logText().contains(QStringLiteral("An open reply ended: the web server closed its connection")));
    finishLater(first);
    finishLater(first + 1);
    // Once another request has been answered the loop has handled both replies: nothing more
    // came on the aborted request.
    expectAck();
    EXPECT_FALSE(aborting.next(&answer, 0));
    ASSERT_TRUE(aborting.write(request(5, "{\"TYPE\":\"fast\"}")));
    ASSERT_TRUE(aborting.next(&answer));
    EXPECT_EQ(answer.id, 5);
    EXPECT_EQ(answer.content, kAck);
}

// Requests waiting for their replies hold at most 48 of the 64 connections and nobody else, camera
// streams among them: one more is refused at once and starts nothing (no package tool, no worker
// job, no stream), the waiting ones are never closed to make room for a new connection, and each
// keeps its connection once answered.
TEST_F(ConnectionTest, RequestsWaitingForRepliesHoldAtMost48ConnectionsAndNeverGiveWay) {
    start();
    Fcgi& fcgi = m_env.fcgi();
    const size_t first = laterCount();
    const int runs = fcgi.context().packages.runs();
    const RequestMetrics& metrics = fcgi.requestMetrics();
    size_t updateRow = 0;
    while (std::strcmp(fcgi.commandTable().at(updateRow).name, "updateCheck") != 0) ++updateRow;
    const quint64 refusedBefore = metrics.requests(updateRow, RequestOutcome::RefusedWaiting);
    g_counted = 0;
    std::vector<std::unique_ptr<Peer>> viewers;
    for (int i = 0; i < ImageStreams::kMaxStreams; ++i) {
        viewers.push_back(std::make_unique<Peer>(m_socket));
        ASSERT_TRUE(viewers.back()->write(request(1, kStream)));
        ASSERT_TRUE(viewers.back()->waitOutput(hasParts(1)));
    }
    std::vector<std::unique_ptr<Peer>> parked;
    for (int i = 0; i < 48 - ImageStreams::kMaxStreams; ++i) {
        parked.push_back(std::make_unique<Peer>(m_socket));
        ASSERT_TRUE(parked.back()->write(request(i + 1, "{\"TYPE\":\"later\"}")));
    }
    ASSERT_TRUE(testsupport::waitFor(
        [&] { return laterCount() == first + parked.size() && fcgi.parkedConnections() == 48; }));
    std::vector<std::unique_ptr<Peer>> refused;
    const QString log = m_env.logOf(1, [&] {
        for (int i = 0; i < 16; ++i) {
            refused.push_back(std::make_unique<Peer>(m_socket));
            ASSERT_TRUE(refused.back()->write(
                request(1, i % 2 ? "{\"TYPE\":\"counted\"}" : "{\"TYPE\":\"updateCheck\"}")));
            Answer answer;
            ASSERT_TRUE(refused.back()->next(&answer));
            EXPECT_EQ(answer.content, kTooManyWaiting) << i;
        }
    });
    EXPECT_EQ(log.count(QStringLiteral(
                  "TOO MANY REQUESTS WAITING, request refused: {\"TYPE\":\"updateCheck\"}")),
              8);
    EXPECT_EQ(metrics.requests(updateRow, RequestOutcome::RefusedWaiting), refusedBefore + 8);
    EXPECT_EQ(fcgi.context().packages.runs(), runs);
    EXPECT_EQ(fcgi.parkedConnections(), 48);
    // 64 connections are open: a new one closes a refused (idle) one, never a waiting one; stop
    // and HEARTBEAT get through. Neither a stream (ending none of the four) nor a wait for the
    // next frame gets one.
    expectAck("{\"TYPE\":\"stop\"}");
    expectAck("{\"TYPE\":\"HEARTBEAT\"}");
    for (const QByteArray& camera : {kStream, after(camera().sequence())}) {
        QByteArray out;
        ASSERT_TRUE(get(m_socket, camera, &out));
        EXPECT_EQ(out, kTooManyWaiting) << camera.constData();
    }
    Answer answer;
    for (const auto& viewer : viewers) EXPECT_FALSE(viewer->next(&answer, 0));
    for (size_t i = 0; i < parked.size(); ++i) {
        EXPECT_FALSE(parked[i]->waitHungUp(0)) << i;
        finishLater(first + i);
        ASSERT_TRUE(parked[i]->next(&answer)) << i;
        EXPECT_EQ(answer.id, int(i) + 1);
        EXPECT_EQ(answer.content, laterReply(int(first + i)));
    }
    viewers.clear();
    // A connection whose reply came later is kept and serves the next request.
    ASSERT_TRUE(parked[0]->write(request(60, "{\"TYPE\":\"fast\"}")));
    ASSERT_TRUE(parked[0]->next(&answer));
    EXPECT_EQ(answer.content, kAck);
    EXPECT_TRUE(testsupport::waitFor([&] { return fcgi.parkedConnections() == 0; }));
    // Worker jobs run in order: the refused ones would have run before this one.
    expectAck("{\"TYPE\":\"counted\"}");
    EXPECT_EQ(g_counted.load(), 1);
}

// Each new frame is one part, in order. A peer that stops reading holds the part on its way and
// the newest one after it, never a queue: when it reads again it gets those two, the newest last,
// and the frames between were replaced.
TEST_F(ConnectionTest, AStreamSendsEachNewFrameInOrderAndASlowPeerGetsTheNewestNotAQueue) {
    start();
    Peer viewer(m_socket);
    ASSERT_TRUE(viewer.write(request(1, kStream)));
    ASSERT_TRUE(viewer.waitOutput(hasParts(1)));
    EXPECT_TRUE(viewer.output().startsWith(kGuard + QByteArray::fromStdString(ImageStreams::kStreamHeader)));
    for (int i = 1; i <= 3; ++i) {
        const quint64 sequence = publish(i, 1000);
        ASSERT_TRUE(viewer.waitOutput(hasParts(1 + i)));
        const auto part = streamParts(viewer.output()).last();
        EXPECT_EQ(part.sequence, qint64(sequence));
        EXPECT_EQ(part.type, "image/jpeg");
        EXPECT_TRUE(part.body == frame(i, 1000));
    }
    // While the peer reads nothing: frames the socket would hold many of, and frames larger
    // than it holds.
    for (const int bytes : {2000, 200000}) {
        SCOPED_TRACE(bytes);
        const int seen = int(streamParts(viewer.output()).size());
        const unsigned long long replaced = m_env.fcgi().replacedStreamParts();
        quint64 last = 0;
        for (int i = 4; i < 40; ++i) {
            last = publish(i, bytes);
            settle();
        }
        ASSERT_TRUE(viewer.waitOutput([last](const QByteArray& out) {
            return streamParts(out).last().sequence == qint64(last);
        }));
        const auto parts = streamParts(viewer.output()).mid(seen);
        ASSERT_GE(parts.size(), 1);
        EXPECT_LE(parts.size(), 3);
        for (int i = 1; i < parts.size(); ++i) EXPECT_GT(parts[i].sequence, parts[i - 1].sequence);
        EXPECT_TRUE(parts.last().body == frame(39, bytes));
        EXPECT_GE(m_env.fcgi().replacedStreamParts(), replaced + 33);
    }
    Answer answer;
    EXPECT_FALSE(viewer.next(&answer, 0));  // and it goes on
}

// However long a stream lasts, it lives while its peer reads; one whose peer takes nothing is
// dropped once a part has not moved for the limit.
TEST_F(ConnectionTest, AStreamWhosePeerReadsLivesOnAndOneWhosePeerTakesNothingIsDropped) {
    start(1000);
    Peer reader(m_socket);
    Peer deaf(m_socket);
    ASSERT_TRUE(reader.write(request(1, kStream)));
    ASSERT_TRUE(deaf.write(request(1, kStream)));
    ASSERT_TRUE(reader.waitOutput(hasParts(1)));
    int parts = 1;
    QElapsedTimer lasted;
    lasted.start();
    for (int i = 0; !deaf.waitHungUp(0); ++i) {
        ASSERT_LT(lasted.elapsed(), 20 * 1000) << "the peer that takes nothing is still there";
        publish(i % 4, 200000);
        ASSERT_TRUE(reader.waitOutput(hasParts(++parts)));
    }
    publish(1, 200000);
    EXPECT_TRUE(reader.waitOutput(hasParts(++parts)));
    EXPECT_GT(lasted.elapsed(), 1000);
    EXPECT_FALSE(reader.waitHungUp(0));
}

// At most four streams: a fifth ends the oldest, as a multipart body ends.
TEST_F(ConnectionTest, AFifthStreamEndsTheOldest) {
    start();
    std::vector<std::unique_ptr<Peer>> viewers;
    for (int i = 0; i < 5; ++i) {
        viewers.push_back(std::make_unique<Peer>(m_socket));
        ASSERT_TRUE(viewers.back()->write(request(1, kStream)));
        ASSERT_TRUE(viewers.back()->waitOutput(hasParts(1)));
    }
    Answer answer;
    ASSERT_TRUE(viewers[0]->next(&answer));
    EXPECT_EQ(answer.type, kEndRequest);
    EXPECT_TRUE(answer.content.endsWith(QByteArray::fromStdString(ImageStreams::kClosing)));
    EXPECT_EQ(m_env.fcgi().context().camera.streamCount(), 4);
    EXPECT_TRUE(testsupport::waitFor([&] { return m_env.fcgi().parkedConnections() == 4; }));
    publish(5, 1000);
    for (size_t i = 1; i < viewers.size(); ++i) EXPECT_TRUE(viewers[i]->waitOutput(hasParts(2))) << i;
}

// A request for the frame after a given one: answered at once when it has come, else when it
// comes (held by no thread meanwhile), else after 2 s with the newest picture.
TEST_F(ConnectionTest, ARequestForTheNextFrameIsAnsweredWhenItComes) {
    start();
    const quint64 sequence = publish(7, 500);
    const QByteArray numbered = kGuard + "Content-Type: image/jpeg \r\nX-Frame-Sequence: ";
    QByteArray out;
    ASSERT_TRUE(get(m_socket, after(sequence - 1), &out));
    EXPECT_TRUE(out.startsWith(numbered + QByteArray::number(sequence) + "\r\n") && out.endsWith(frame(7, 500)));
    Peer waiting(m_socket);
    ASSERT_TRUE(waiting.write(request(1, after(sequence))));
    settle();
    Answer answer;
    EXPECT_FALSE(waiting.next(&answer, 0));
    EXPECT_EQ(m_env.fcgi().parkedConnections(), 1);
    publish(8, 500);
    ASSERT_TRUE(waiting.next(&answer));
    EXPECT_TRUE(answer.content.startsWith(numbered + QByteArray::number(sequence + 1) + "\r\n"));
    EXPECT_TRUE(answer.content.endsWith(frame(8, 500)));
    // No frame comes: the newest picture, by then the no-camera one.
    ASSERT_TRUE(waiting.write(request(2, after(sequence + 1))));
    ASSERT_TRUE(testsupport::waitFor([&] { return waiting.next(&answer, 0); }, 10000));
    EXPECT_TRUE(answer.content.startsWith(kGuard + "Content-Type: image/png \r\nX-Frame-Sequence: 0\r\n"));
    EXPECT_TRUE(answer.content.endsWith(m_env.fcgi().context().noCamPng));
}

// updateCheck with a package tool that runs until the test lets it end: what comes meanwhile is
// answered first, two requests share one run, and a tool that hangs is killed with all it
// started at the limit.
TEST_F(ConnectionTest, ThePackageToolHoldsNobodyAndAHungOneIsKilledAtItsLimit) {
    start();
    PackageListing& listing = m_env.fcgi().context().packages;
    StandInTool tool;
    ASSERT_TRUE(tool.writeBlocking());
    const int runs = listing.runs();
    Peer first(m_socket);
    Peer second(m_socket);
    ASSERT_TRUE(first.write(request(1, "{\"TYPE\":\"updateCheck\"}")));
    ASSERT_TRUE(second.write(request(1, "{\"TYPE\":\"updateCheck\"}")));
    Answer answer;
    for (int i = 0; i < 5; ++i) {
        expectAck();
        EXPECT_FALSE(first.next(&answer, 0)) << i;
    }
    ASSERT_TRUE(tool.release());
    for (Peer* peer : {&first, &second}) {
        ASSERT_TRUE(peer->next(&answer));
        EXPECT_EQ(answer.content, kListed);
    }
    EXPECT_EQ(listing.runs(), runs + 1);
    EXPECT_EQ(tool.starts(), 1);

    listing.setTimeLimitMs(300);
    ASSERT_TRUE(tool.write("echo $$ >" + tool.dir() + "/pid\nsleep 1000\n"));
    ASSERT_TRUE(first.write(request(2, "{\"TYPE\":\"updateCheck\"}")));
    ASSERT_TRUE(first.next(&answer));
    listing.setTimeLimitMs(PackageListing::kTimeLimitMs);
    EXPECT_EQ(answer.content, kJson + "{\"TYPE\":\"ERR\"}");
    QFile pidFile(QFile::decodeName(tool.dir()) + "/pid");
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const pid_t group = pid_t(pidFile.readAll().trimmed().toInt());
    ASSERT_GT(group, 0);
    // The shell and its sleep are gone (once the system has taken the orphaned sleep's status).
    EXPECT_TRUE(testsupport::waitFor([group] { return ::kill(-group, 0) != 0 && errno == ESRCH; }));
    expectAck();
}

}  // namespace

namespace {

// A kept connection that rests between two requests gives the next one its full time from that
// request's own first byte, however long the rest or the request before it took.
TEST_F(ConnectionTest, ARestingConnectionGivesItsNextRequestAFreshDeadline) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    int served = 0;
    const FcgiHandler handler = countingHandler(served);
    std::atomic<int> parked{0};
    const auto shared = std::make_unique<FcgiShared>(FcgiLimits(), handler, parked);
    const qint64 limit = shared->limits.requestMs;
    FcgiConnection connection(*shared);
    connection.open(pair[0]);  // closed by the connection
    const QByteArray whole = request(1, "{}");
    // The peer writes `bytes` and the loop looks at the connection at `now` on its clock.
    const auto at = [&](qint64 now, const QByteArray& bytes = QByteArray()) {
        const bool sent = ::send(pair[1], bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
        return sent && connection.step(bytes.isEmpty() ? 0 : POLLIN, now);
    };
    ASSERT_TRUE(at(0, whole.left(10)));
    ASSERT_TRUE(at(limit - 100, whole.mid(10)));
    EXPECT_EQ(served, 1);
    EXPECT_TRUE(at(limit + 500));  // resting past the first request's time
    ASSERT_TRUE(at(limit + 1000, whole.left(10)));
    EXPECT_TRUE(at(2 * limit + 900)) << "dropped by a time that began before its first byte";
    ASSERT_TRUE(at(2 * limit + 950, whole.mid(10)));
    EXPECT_EQ(served, 2);
    // Its own time still holds.
    ASSERT_TRUE(at(3 * limit, whole.left(10)));
    EXPECT_FALSE(at(4 * limit));
    ::close(pair[1]);
}

// With every connection taken by requests waiting for their replies and by requests stalled half
// way, room is made by a stalled one, however recently used: never by a waiting one.
TEST_F(ConnectionTest, RoomIsNeverMadeByAWaitingConnectionEvenBesideStalledOnes) {
    start(60000);  // no stalled request is dropped by its time meanwhile
    Fcgi& fcgi = m_env.fcgi();
    const size_t first = laterCount();
    std::vector<std::unique_ptr<Peer>> parked, stalled;
    for (int i = 0; i < 48; ++i) {
        parked.push_back(std::make_unique<Peer>(m_socket));
        ASSERT_TRUE(parked.back()->write(request(1, "{\"TYPE\":\"later\"}")));
    }
    ASSERT_TRUE(testsupport::waitFor([&] { return fcgi.parkedConnections() == 48; }));
    for (int i = 0; i < 16; ++i) {
        stalled.push_back(std::make_unique<Peer>(m_socket));
        ASSERT_TRUE(stalled.back()->write(request(1, "{\"TYPE\":\"fast\"}").left(20)));
    }
    ASSERT_TRUE(testsupport::waitFor([&] { return fcgi.openConnections() == 64; }));
    expectAck();
    EXPECT_TRUE(stalled[0]->waitHungUp(10000));  // the least recently used of the stalled ones
    Answer answer;
    for (size_t i = 0; i < parked.size(); ++i) {
        EXPECT_FALSE(parked[i]->waitHungUp(0)) << i;
        finishLater(first + i);
        ASSERT_TRUE(parked[i]->next(&answer)) << i;
        EXPECT_EQ(answer.content, laterReply(int(first + i)));
    }
}

}  // namespace
