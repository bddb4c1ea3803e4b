// The daemon for real: behind spawn-fcgi and nginx (or lighttpd), under a sandbox root, with a robot
// on the wire; the program store as the packaged web server examples serve it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <atomic>
#include <thread>
#include <vector>

#include "E2e.h"
#include "TestRobot.h"
#include "Wait.h"
#include "kel/rpc/Server.h"

using namespace testsupport;

namespace {

QByteArray config(const QString& robot, int verbosity) {
    return QString("[Log]\nverbosity=%1\n\n[Network]\nserver=%2\n").arg(verbosity).arg(robot).toUtf8();
}

// Behind nginx (the socket from spawn-fcgi) and behind the packaged lighttpd example (the socket
// handed over the way systemd does it): the page, the store, the figures and the replies; the
// user's configuration file wins over the system's (robot address, verbosity), the robot sets the
// log level.
TEST(FrameE2eTest, AnswersBehindNginxAndLighttpdAndLogsAfterTheReply) {
    const QByteArray unknown = R"({"TYPE":"ERR","MSG":"UNKNOWN COMMAND"})";
    const QByteArray noJson = R"({"TYPE":"ERR","MSG":"NO JSON OBJ RECIEVED"})";
    for (const bool lighttpd : {false, true}) {
        SCOPED_TRACE(lighttpd ? "lighttpd, socket handed over" : "nginx, spawn-fcgi");
        Sandbox sandbox;
        TestRobot robot;
        sandbox.writeFile("/etc/corvanta/webgated.conf", config("127.0.0.1:1", 1));
        sandbox.writeFile("/home/corvanta/.config/webgated.conf", config(robot.address(), 3));
        sandbox.writeFile("/usr/share/webgated/www/index.html", "<html>page</html>");
        sandbox.writeFile("/home/corvanta/programs/drive.txt", "program");
        DaemonUnderTest daemon(sandbox);
        daemon.setLighttpd(lighttpd);
        daemon.setSocketActivated(lighttpd);
        ASSERT_TRUE(daemon.start());
        const HttpReply reply = daemon.command(R"({"TYPE":"noSuchThing"})");
        EXPECT_EQ(QByteArray::number(reply.status) + reply.body, "200" + unknown);
        // The daemon's guard lines reach the browser.
        EXPECT_TRUE(reply.headers.toLower().contains("content-type: text/html") &&
                    reply.headers.contains("X-Content-Type-Options: nosniff\r\n") &&
                    reply.headers.contains("Content-Security-Policy: default-src 'none'; "
                                           "frame-ancestors 'none'; sandbox\r\n"))
            << reply.headers.constData();
        EXPECT_TRUE(daemon.command(R"({"TYPE":"getMenuItems"})").body.startsWith(R"({"DATA":[{"name":"Update")"));
        EXPECT_EQ(httpGet(daemon.port(), "/").body, "<html>page</html>");
        EXPECT_EQ(httpGet(daemon.port(), "/programs/drive.txt").body, "program");
        // The figures under a name the robot does not answer to: /metrics asks under a fixed one.
        const HttpReply metrics = httpGet(daemon.port(), "/metrics", 10000, "Host: robot99.example\r\n");
        EXPECT_TRUE(metrics.status == 200 &&
                    metrics.body.contains("webgated_requests_total{command=\"getMenuItems\",result=\"data\"} 1\n"))
            << metrics.headers.constData() << metrics.body.left(300).constData();
        ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn("set_log_level"); }));
        EXPECT_FALSE(robot.isSwitchedOn("image0"));  // the camera stays off until a page asks
        if (!lighttpd) {  // lighttpd decodes and checks the query itself
            // Bytes that are not UTF-8 and a long query pass the web server and are answered.
            EXPECT_EQ(daemon.query("%7b%22TYPE%22:%22x%22%7d").body, noJson);
            EXPECT_EQ(daemon.query("{%22TYPE%22:%22\xff\xfe%22}").body, noJson);
            EXPECT_EQ(daemon.query("{%22TYPE%22:%22" + QByteArray(30000, 'a') + "%22}").body, unknown);
        }
        // The main thread writes the request thread's lines a moment after the reply has gone.
        EXPECT_TRUE(waitFor([&] {
            const QByteArray log = daemon.logFile();
            return log.contains(R"(| UNKNOWN COMMAND: {"TYPE":"noSuchThing"})") &&
                   log.contains(R"(| Done:{"TYPE":"noSuchThing"})") &&
                   (lighttpd || log.contains(R"(| NO JSON OBJ RECIEVED: %7b"TYPE":"x"%7d)"));
        })) << daemon.logFile().constData();
        EXPECT_FALSE(daemon.logFile().contains("recieved query string"));  // a level-4 line
        robot.publish("set_log_level", QJsonArray{4});
        EXPECT_TRUE(waitFor(
            [&] { return daemon.command("{}").ok && daemon.logFile().contains("recieved query string"); }));
    }
}

// The program store through both packaged examples: a link another user planted there, to a file
// only root may read, is never followed.
TEST(FrameE2eTest, WebServersServeTheStoreButNoLinkAnotherUserPlantedInIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
    for (const bool lighttpd : {false, true}) {
        SCOPED_TRACE(lighttpd ? "lighttpd" : "nginx");
        Sandbox sandbox;
        sandbox.writeFile("/etc/corvanta/webgated.conf", config("127.0.0.1:1", 0));
        sandbox.writeFile("/home/corvanta/programs/drive.rvw", "program");
        sandbox.writeFile("/etc/shadow", "secret");
        const QString store = sandbox.path("/home/corvanta/programs/");
        ASSERT_TRUE(QFile::link(sandbox.path("/etc/shadow"), store + "peek"));
        ASSERT_EQ(::lchown(QFile::encodeName(store + "peek"), 65534, 65534), 0);
        ASSERT_TRUE(QFile::link("drive.rvw", store + "own"));  // made by the owner of its target
        // The store belongs to the robot's user, the daemon's link to it to root.
        ASSERT_EQ(::chown(QFile::encodeName(store), 65534, 65534), 0);
        DaemonUnderTest daemon(sandbox);
        daemon.setLighttpd(lighttpd);
        ASSERT_TRUE(daemon.start());
        ASSERT_TRUE(daemon.command(R"({"TYPE":"x"})").ok);  // the store's link is made by now
        EXPECT_EQ(httpGet(daemon.port(), "/programs/drive.rvw").body, "program");
        const HttpReply peek = httpGet(daemon.port(), "/programs/peek");
        EXPECT_TRUE(peek.status == 403 && !peek.body.contains("secret"));
        // nginx follows a link whose owner also owns its target; lighttpd follows none.
        EXPECT_EQ(httpGet(daemon.port(), "/programs/own").status, lighttpd ? 403 : 200);
    }
}

// A page of another site in the operator's browser, and a page reached under a foreign name,
// through nginx with and without Debian's parameter list; scripts and the robot's page go on.
TEST(FrameE2eTest, RefusesForeignPagesAndNamesWhileScriptsAndTheRobotsPageAct) {
    for (const bool debianParams : {false, true}) {
        SCOPED_TRACE(debianParams ? "with fastcgi_params" : "without fastcgi_params");
        Sandbox sandbox;
        sandbox.writeFile("/etc/corvanta/webgated.conf", config("127.0.0.1:1", 1) + "\n[Access]\nhosts=robot17.example\n");
        sandbox.writeFile("/home/corvanta/programs/a.rvw", "program");
        DaemonUnderTest daemon(sandbox);
        daemon.setFastcgiParams(debianParams);
        ASSERT_TRUE(daemon.start());
        const QByteArray host = "Host: robot17.example:" + QByteArray::number(daemon.port()) + "\r\n";
        const QByteArray browser = "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\n";
        const QByteArray crossSite = R"({"TYPE":"ERR","MSG":"CROSS-SITE REQUEST REFUSED"})";

        // Another site's <img> or no-cors fetch: no mark, no Origin, no fetch metadata.
        HttpReply reply = daemon.command(R"({"TYPE":"velDrive","vx":0.3,"vy":0,"omega":0})", host + browser);
        EXPECT_EQ(QByteArray::number(reply.status) + reply.body, "403" + crossSite);
        // The mark from another origin needs a preflight, which is never granted.
        reply = daemon.command(R"({"TYPE":"deleteFile","fileName":"a.rvw"})",
                               host + browser + "Origin: http://evil.example\r\nAccess-Control-Request-Method: GET\r\n",
                               "OPTIONS");
        EXPECT_EQ(QByteArray::number(reply.status) + reply.body, "405");
        EXPECT_TRUE(reply.headers.contains("Allow: GET, POST") && !reply.headers.toLower().contains("access-control"))
            << reply.headers.constData();
        // A foreign name that leads here (DNS rebinding) reads nothing; stopping is welcome.
        reply = daemon.command(R"({"TYPE":"getWLANConf"})", "Host: evil.example\r\n" + browser + "X-Webgated-Page: 1\r\n");
        EXPECT_EQ(QByteArray::number(reply.status) + reply.body, R"(403{"TYPE":"ERR","MSG":"HOST NOT ALLOWED"})");
        EXPECT_EQ(daemon.command(R"({"TYPE":"stop"})", "Host: evil.example\r\n" + browser).body, R"({"TYPE":"ACK"})");
        EXPECT_TRUE(QFileInfo::exists(sandbox.path("/home/corvanta/programs/a.rvw")));

        // A script acts as before (here the command itself finds no robot); so does the robot's
        // own page, under its allowed name.
        reply = daemon.command(R"({"TYPE":"velDrive","vx":0.05,"vy":0,"omega":0})",
                               "Host: 127.0.0.1\r\nUser-Agent: curl/7.88.1\r\n");
        EXPECT_EQ(QByteArray::number(reply.status) + reply.body,
                  R"(200{"MSG":"NO CONNECTION TO THE ROBOT","TYPE":"ERR"})");
        const QByteArray page = host + browser + "X-Webgated-Page: 1\r\nReferer: http://robot17.example:" +
                                QByteArray::number(daemon.port()) + "/index.html\r\n";
        EXPECT_EQ(daemon.command(R"({"TYPE":"renameFile","fileName":"a.rvw","newFileName":"b.rvw"})", page).body,
                  R"({"TYPE":"ACK"})");
        EXPECT_TRUE(QFileInfo::exists(sandbox.path("/home/corvanta/programs/b.rvw")));
        daemon.command(R"({"TYPE":"stop"})");

        EXPECT_TRUE(waitFor([&] { return daemon.logFile().count("| REFUSED ") == 2; }))
            << daemon.logFile().constData();
        EXPECT_TRUE(daemon.logFile().contains("REFUSED getWLANConf: HOST NOT ALLOWED"));
    }
}

// The web servers people use keep their FastCGI connections: nginx's keep-alive pool and Apache's
// mod_proxy_fcgi with enablereuse=on. Thousands of requests, POSTs with bodies of every size up to
// the limit and HEADs all get their reply, with no 5xx and no error line from the web server.
TEST(FrameE2eTest, KeptConnectionsThroughNginxAndApacheAnswerEveryRequest) {
    for (const bool apache : {false, true}) {
        SCOPED_TRACE(apache ? "Apache, enablereuse=on" : "nginx, keep-alive pool");
        Sandbox sandbox;
        sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=127.0.0.1:1\n");
        DaemonUnderTest daemon(sandbox);
        daemon.setKeepAlive(true);
        daemon.setApache(apache);
        ASSERT_TRUE(daemon.start());
        const QByteArray unknown = R"({"TYPE":"ERR","MSG":"UNKNOWN COMMAND"})";
        const auto send = [&](const char* json, const QByteArray& method, const QByteArray& body = QByteArray()) {
            return httpGet(daemon.port(), "/webgated?" + pageEncode(json), 10000, "Host: 127.0.0.1\r\n", method, body);
        };
        std::atomic<int> answered{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c) {
            clients.emplace_back([&] {
                for (int i = 0; i < 500; ++i) answered += daemon.command(R"({"TYPE":"nothing"})").body == unknown;
            });
        }
        // Beside them, bodies the old loop lost its connection over (9,000 bytes and more).
        int posted = 0;
        for (int i = 0; i < 40; ++i) {
            const int size = QList<int>{1, 8999, 9000, 20000, 65536, 300000, 1 << 20}[i % 7];
            const HttpReply reply = send(R"({"TYPE":"nothing"})", "POST", QByteArray(size, 'b'));
            posted += reply.status == 200 && reply.body == unknown;
        }
        for (std::thread& client : clients) client.join();
        EXPECT_EQ(answered.load(), 4 * 500);
        EXPECT_EQ(posted, 40);
        // A HEAD gets the headers of a GET and no body; an acting command is not run for it.
        HttpReply head = send(R"({"TYPE":"getVersion"})", "HEAD");
        EXPECT_TRUE(head.status == 200 && head.headers.contains("Content-Type: text/html") && head.body.isEmpty())
            << head.headers.constData();
        head = send(R"({"TYPE":"velDrive","vx":0.1,"vy":0,"omega":0})", "HEAD");
        EXPECT_TRUE(head.status == 405 && head.body.isEmpty());
        EXPECT_EQ(daemon.command(R"({"TYPE":"nothing"})").body, unknown);
        const QByteArray errors = daemon.webServerErrors();
        for (const char* level : {"error]", "crit]", "alert]", "emerg]"}) EXPECT_FALSE(errors.contains(level)) << errors.data();
    }
}

// Started without a listening socket (standard input a pipe), the daemon is a CGI program: it
// serves the one request of its environment on standard output, the guard lines first, and ends
// by itself.
TEST(FrameE2eTest, WithoutASocketServesTheRequestOfItsEnvironmentAndEnds) {
    const QByteArray json = "X-Content-Type-Options: nosniff\r\n"
                            "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'; sandbox\r\n"
                            "Content-type: text/html\r\n\r\n";
    const struct {
        const char* query;  // nullptr: QUERY_STRING unset
        const char* method;
        QByteArray out;
    } rows[] = {
        {nullptr, "GET", json + "{\"TYPE\":\"ERR\",\"MSG\":\"NO JSON OBJ RECIEVED\"}"},
        {"%7B%22TYPE%22:%22nothing%22%7D", "HEAD", json},
        // A drive command ends with the process too (here it finds no robot).
        {"%7B%22TYPE%22:%22velDrive%22,%22vx%22:0.1,%22vy%22:0,%22omega%22:0%7D", "GET",
         json + "{\"MSG\":\"NO CONNECTION TO THE ROBOT\",\"TYPE\":\"ERR\"}"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query ? row.query : "(no query)");
        Sandbox sandbox;
        sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=127.0.0.1:1\n");
        QProcess daemon;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WEBGATED_ROOT", sandbox.root());
        env.remove("QUERY_STRING");
        if (row.query) env.insert("QUERY_STRING", row.query);
        env.insert("REQUEST_METHOD", row.method);
        daemon.setProcessEnvironment(env);
        daemon.setWorkingDirectory(sandbox.root());
        daemon.start(binaryDir() + "/daemons/apps/webgated/webgated", QStringList());
        const bool ended = daemon.waitForFinished(10000);
        if (!ended) daemon.kill();
        daemon.waitForFinished(5000);
        EXPECT_TRUE(ended && daemon.exitStatus() == QProcess::NormalExit && daemon.exitCode() == 0);
        EXPECT_EQ(daemon.readAllStandardOutput(), row.out);  // the reply, and nothing else
    }
}

}  // namespace
