// Who may run a command: the decision table over the request's parameters, the names the robot
// answers to, and what a refusal runs (nothing) and answers.
#include <gtest/gtest.h>

#include <QSet>
#include <map>

#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "request/AccessGuard.h"

using testsupport::commandRow;
using testsupport::DaemonEnvironment;

namespace {

constexpr AccessVerdict kAllowed = AccessVerdict::Allowed;
constexpr AccessVerdict kCrossSite = AccessVerdict::CrossSite;
constexpr AccessVerdict kHost = AccessVerdict::HostNotAllowed;
constexpr AccessVerdict kMethod = AccessVerdict::MethodNotAllowed;
constexpr CommandAccess kActs = CommandAccess::Acting;
constexpr CommandAccess kReads = CommandAccess::Reading;
constexpr CommandAccess kOpen = CommandAccess::Open;

const char kBrowser[] = "Mozilla/5.0 (X11; Linux x86_64) Chrome/156.0";
const char kRobot[] = "192.168.1.5";

struct Row {
    const char* what;
    CommandAccess access;
    RequestHeaders headers;
    AccessVerdict expected;
};

RequestHeaders browser(const char* host = kRobot, const char* mark = "1") {
    RequestHeaders h;
    h.method = "GET";
    h.userAgent = kBrowser;
    h.host = host;
    h.pageMark = mark;
    return h;
}
RequestHeaders with(RequestHeaders h, const char* origin, const char* referer = nullptr,
                    const char* site = nullptr) {
    h.origin = origin;
    h.referer = referer;
    h.secFetchSite = site;
    h.anySecFetch = site != nullptr;
    return h;
}

}  // namespace

TEST(AccessGuardTest, DecidesEveryCombinationThatMatters) {
    const AccessGuard::HostNames names = {"robot17", "robot17.local", "robot17.example"};
    RequestHeaders curl;
    curl.method = "GET";
    curl.userAgent = "curl/7.88.1";
    curl.host = kRobot;
    RequestHeaders bare;  // a script behind a web server that passes nothing but the query
    RequestHeaders fetchMode = browser(kRobot, nullptr);
    fetchMode.userAgent = nullptr;
    fetchMode.anySecFetch = true;  // Sec-Fetch-Mode alone makes it a browser's
    RequestHeaders options = browser();
    options.method = "OPTIONS";
    RequestHeaders headCurl = curl;
    headCurl.method = "HEAD";
    const Row rows[] = {
        // Non-browser clients act as before.
        {"curl acts", kActs, curl, kAllowed},
        {"no parameters at all", kActs, bare, kAllowed},
        // A foreign page on a plain-http robot: no Origin, no fetch metadata, no mark.
        {"image or no-cors request", kActs, browser(kRobot, nullptr), kCrossSite},
        {"the mark with another value", kActs, browser(kRobot, "0"), kCrossSite},
        {"a referer alone makes a browser", kActs, with(RequestHeaders(), nullptr, "http://evil.example/"), kCrossSite},
        {"fetch metadata alone makes a browser", kActs, fetchMode, kCrossSite},
        {"a foreign page reads", kReads, browser(kRobot, nullptr), kAllowed},
        // The robot's own page.
        {"the page, no origin sent", kActs, browser(), kAllowed},
        {"the page with its referer", kActs, with(browser(), nullptr, "http://192.168.1.5/index.html"), kAllowed},
        {"the page with fetch metadata", kActs, with(browser(), "http://192.168.1.5", nullptr, "same-origin"), kAllowed},
        {"typed into the address bar", kActs, with(browser(), nullptr, nullptr, "none"), kAllowed},
        {"same-site is not same-origin", kActs, with(browser(), nullptr, nullptr, "same-site"), kCrossSite},
        {"cross-site metadata", kActs, with(browser(), nullptr, nullptr, "cross-site"), kCrossSite},
        {"the mark from another origin", kActs, with(browser(), "http://evil.example"), kCrossSite},
        {"origin null", kActs, with(browser(), "null"), kCrossSite},
        {"origin with user info", kActs, with(browser("robot17"), "http://robot17@evil.example"), kCrossSite},
        {"referer naming the robot in its query", kActs,
         with(browser("robot17"), nullptr, "http://evil.example/?u=http://robot17/"), kCrossSite},
        {"origin wins over referer", kActs,
         with(browser(), "http://evil.example", "http://192.168.1.5/"), kCrossSite},
        // Ports: compared when Host has one, the scheme's port when the origin has none.
        {"same port", kActs, with(browser("192.168.1.5:8080"), "http://192.168.1.5:8080"), kAllowed},
        {"other port", kActs, with(browser("192.168.1.5:8080"), "http://192.168.1.5:9090"), kCrossSite},
        {"host without port", kActs, with(browser(), "http://192.168.1.5:9090"), kAllowed},
        {"default http port", kActs, with(browser("192.168.1.5:80"), "http://192.168.1.5"), kAllowed},
        {"https is another port", kActs, with(browser("192.168.1.5:80"), "https://192.168.1.5"), kCrossSite},
        {"names differ in case and dot only", kActs, with(browser("Robot17.Example."), "http://ROBOT17.example"), kAllowed},
        {"IPv6 page", kActs, with(browser("[fe80::1]:8080"), "http://[FE80::1]:8080"), kAllowed},
        // Host names (DNS rebinding): even reading needs a name the robot answers to.
        {"foreign name reads", kReads, browser("evil.example"), kHost},
        {"foreign name acts with the mark", kActs, with(browser("evil.example"), "http://evil.example"), kHost},
        {"foreign name from curl", kReads, [&] { RequestHeaders h = curl; h.host = "evil.example"; return h; }(), kHost},
        {"IPv4 literal", kReads, browser("10.0.0.7:8080"), kAllowed},
        {"IPv6 literal", kReads, browser("[::1]:8080"), kAllowed},
        {"IPv6 without brackets is no host", kReads, browser("::1"), kHost},
        {"unclosed bracket", kReads, browser("[::1"), kHost},
        {"short IPv4 form", kReads, browser("127.1"), kHost},
        {"name that starts like an address", kReads, browser("1.2.3.4.evil.example"), kHost},
        {"localhost", kReads, browser("LOCALHOST:8080"), kAllowed},
        {"allowed name as a suffix", kReads, browser("xrobot17"), kHost},
        {"empty Host: nothing to check", kReads, browser(""), kAllowed},
        {"no Host: nothing to check", kActs, browser(nullptr), kAllowed},
        // Stopping is welcome from anywhere; a preflight is never granted.
        {"stop from a foreign page under a foreign name", kOpen, with(browser("evil.example", nullptr), "http://evil.example"), kAllowed},
        {"preflight of an acting command", kActs, options, kMethod},
        {"preflight of a reading command", kReads, options, kMethod},
        {"preflight of stop", kOpen, options, kMethod},
        // A HEAD asks for headers: an acting command is not run for it, from anyone.
        {"HEAD of an acting command from a script", kActs, headCurl, kMethod},
        {"HEAD of a reading command", kReads, headCurl, kAllowed},
        {"HEAD of stop", kOpen, headCurl, kAllowed},
        {"HEAD of a reading command under a foreign name", kReads,
         [&] { RequestHeaders h = headCurl; h.host = "evil.example"; return h; }(), kHost},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(AccessGuard::decide(row.access, row.headers, names), row.expected) << row.what;
    }
}

TEST(AccessGuardTest, ReadsTheNamesAgainBeforeRefusingAndLogsEachRefusalOnce) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    AccessGuard::HostNames names;
    int loads = 0;
    AccessGuard guard([&] { return ++loads, names; });
    const RequestHeaders renamed = browser("robot18");
    const QString log = env.logOf(1, [&] {
        EXPECT_EQ(guard.check(kReads, browser(), "getDistance"), kAllowed);
        EXPECT_EQ(loads, 1);
        names = {"robot18"};  // the machine was renamed meanwhile
        EXPECT_EQ(guard.check(kReads, renamed, "getDistance"), kAllowed);
        EXPECT_EQ(loads, 2);
        EXPECT_EQ(guard.check(kReads, renamed, "getDistance"), kAllowed);
        EXPECT_EQ(loads, 2);  // known names are not read again
        EXPECT_EQ(guard.check(kActs, with(browser("robot17.example\r\n12:00:00.000 | forged"), "http://x"), "velDrive"),
                  kHost);
    });
    EXPECT_EQ(log.count(QStringLiteral("REFUSED velDrive: HOST NOT ALLOWED")), 1) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("add robot17.example??12 to [Access] hosts"))) << log.toStdString();
    EXPECT_EQ(log.count(QLatin1Char('\n')), 1) << log.toStdString();  // a header cannot start a line

    // No Host from the web server: said once, at level 0, and only while none ever came.
    AccessGuard noHost([] { return AccessGuard::HostNames(); });
    const auto twiceWithout = [&] {
        for (int i = 0; i < 2; ++i) noHost.check(kReads, RequestHeaders(), "getDistance");
    };
    EXPECT_EQ(env.logOf(0, twiceWithout).count(QStringLiteral("the host name check is off")), 1);
    EXPECT_EQ(env.logOf(0, twiceWithout).count(QStringLiteral("the host name check is off")), 0);
}

TEST(AccessGuardTest, KnowsTheMachinesNamesFromItsFilesAndTheConfiguration) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    char buffer[256] = {};
    ASSERT_EQ(gethostname(buffer, sizeof(buffer) - 1), 0);
    const QString host = QString::fromLatin1(buffer).section(QLatin1Char('.'), 0, 0).toLower();
    testsupport::writeFile(env.path(QStringLiteral("/etc/hosts")),
                           "127.0.0.1 localhost\n127.0.1.1 " + host.toLatin1() + ".lab.example " +
                               host.toLatin1() + " # this machine\n10.0.0.9 other.example\n");
    testsupport::writeFile(env.path(QStringLiteral("/etc/resolv.conf")),
                           "nameserver 10.0.0.1\nsearch fleet.example   site.example\n");
    env.setConfig("[Access]\nhosts=Robot17.Example., dash.example\n");
    const AccessGuard::HostNames names = AccessGuard::machineAndConfiguredNames();
    env.setConfig(QByteArray());
    QStringList got;
    for (const std::string& name : names) got << QString::fromStdString(name);
    got.sort();
    QStringList expected = {host, host + ".local", host + ".lab.example", host + ".fleet.example",
                            host + ".site.example", "robot17.example", "dash.example"};
    expected.sort();
    EXPECT_EQ(got, expected);  // nothing of other machines' lines or the name servers
}

TEST(AccessGuardTest, ARefusalRunsNothingAndAnswersItsStatus) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    static int runs = 0;
    const auto count = [](Fcgi&, Request&) {
        ++runs;
        return Ack;
    };
    Worker worker;
    FcgiConnections transport;
    const RequestProcessor processor(env.fcgi(),
                                     {commandRow("act", count),
                                      commandRow("read", count, CommandAccess::Reading),
                                      commandRow("io", count, CommandAccess::ReadingUnlessOutput),
                                      commandRow("stop", count, CommandAccess::Open)},
                                     worker, transport);
    const RequestHeaders foreign = browser(kRobot, nullptr);
    RequestHeaders head = browser();
    head.method = "HEAD";
    const QByteArray forbidden = "Status: 403 Forbidden\r\nContent-type: text/html\r\n\r\n";
    const QByteArray crossSite = forbidden + R"({"TYPE":"ERR","MSG":"CROSS-SITE REQUEST REFUSED"})";
    const QByteArray host = forbidden + R"({"TYPE":"ERR","MSG":"HOST NOT ALLOWED"})";
    const QByteArray method = "Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n\r\n";
    const QByteArray ack = "Content-type: text/html\r\n\r\n" R"({"TYPE":"ACK"})";
    const struct {
        const char* query;
        RequestHeaders headers;
        QByteArray reply;
        int runs;
    } rows[] = {
        {R"({"TYPE":"act"})", foreign, crossSite, 0},
        {R"({"TYPE":"act","x":1})", foreign, crossSite, 0},  // through the parser as well
        {R"({"TYPE":"io","output":[]})", foreign, crossSite, 0},
        {R"({"TYPE":"io","output":null})", foreign, crossSite, 0},  // present is enough
        {R"({"TYPE":"io"})", foreign, ack, 1},
        {R"({"TYPE":"read"})", foreign, ack, 1},
        {R"({"TYPE":"stop"})", foreign, ack, 1},
        {R"({"TYPE":"read"})", browser("evil.example"), host, 0},
        {"not json", browser("evil.example"), host, 0},
        // A HEAD never gets a body: an acting command is refused, reading ones run. (Which
        // verdict each kind of request gets is the table above's.)
        {R"({"TYPE":"act"})", head, method, 0},
        {R"({"TYPE":"io","output":[]})", head, method, 0},
        {R"({"TYPE":"read"})", head, "Content-type: text/html\r\n\r\n", 1},
        {R"({"TYPE":"read"})", [] { RequestHeaders h = browser("evil.example"); h.method = "HEAD"; return h; }(),
         forbidden, 0},
    };
    for (const auto& row : rows) {
        runs = 0;
        EXPECT_EQ(processor.process(row.query, row.headers), row.reply) << row.query;
        EXPECT_EQ(runs, row.runs) << row.query;
    }
}

TEST(AccessGuardTest, OnlyTheseCommandsReadAndOnlyStopIsOpen) {
    std::map<CommandAccess, QSet<QString>> access;
    for (const Command& row : webgatedCommands())
        access[row.access].insert(QString::fromLatin1(row.name));
    EXPECT_EQ(access[kReads],
              QSet<QString>({"getMenuItems", "getimage", "getProgramList", "GetIFConf",
                             "getDistance", "getBatteryInfo", "getSettingsCategoryXML",
                             "getSettingsItemsXML", "getVersion", "getNetworkChange", "getMetrics",
                             "getDriveState", "getState"}));
    EXPECT_EQ(access[CommandAccess::ReadingUnlessOutput], QSet<QString>({"getIOBoardInfo"}));
    EXPECT_EQ(access[kOpen], QSet<QString>({"stop"}));
}
