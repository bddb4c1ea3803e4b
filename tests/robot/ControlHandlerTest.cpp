// Velocity and position mode as the robot sees them on the wire: increments add up, the watchdog
// lets exactly twenty set-points out and then stops once, and stops on time however late its ticks
// come; a bumper contact stops unless configured not to, a lost link or a handler going away never
// leaves the robot driving and nothing is armed without it, the top speeds are limited, and stale
// odometry never drives the robot; the drive commands' replies, validation and the drive state
// through the request function; one driver at a time, and a take-over that stops first; the
// request thread posting and feeding the watchdog while the main thread drives.
// ctest: threads
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "service/Client.h"
#include "robot/ControlHandler.h"

using testsupport::waitFor;
using kel::corvanta::navigation::PositionDriver;

namespace {

constexpr double kPi = 3.14159265358979323846;
const QByteArray kHeartbeat = R"({"TYPE":"HEARTBEAT"})";
const QByteArray kPositionDrive = R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":0})";

QByteArray velDrive(double vx, double omega = 0, bool takeOver = false) {
    return QString(R"({"TYPE":"velDrive","vx":%1,"vy":0,"omega":%2%3})")
        .arg(vx).arg(omega).arg(takeOver ? R"(,"takeOver":true)" : "").toUtf8();
}

struct SetPoint {
    double vx, vy, omega;
    bool near(const SetPoint& p) const {
        return std::fabs(vx - p.vx) + std::fabs(vy - p.vy) + std::fabs(omega - p.omega) < 1e-6;
    }
};

class ControlFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_robot = new testsupport::TestRobot(); }
    static void TearDownTestSuite() {
        env().client().disconnectFromServer();
        delete s_robot;
    }
    void SetUp() override {
        setConfig(QByteArray());
        ASSERT_TRUE(env().connectTo(*s_robot));
        // The daemon's handler is left standing by every test that drives it.
        ASSERT_TRUE(waitFor([] { return !daemonHandler().isDriving(); }));
        ASSERT_TRUE(forget());
    }
    void TearDown() override {
        daemonHandler().stop();
        daemonHandler().deliverPending();
    }

    static testsupport::DaemonEnvironment& env() { return testsupport::DaemonEnvironment::instance(); }
    /// The test robot publishes only when told: its silence is no sign of a frozen robot here.
    static void setConfig(const QByteArray& ini) { env().setConfig(ini, "[Robot]\nstaleMs=0\n"); }
    static QJsonObject driveState(const RequestHeaders& headers = RequestHeaders()) {
        return QJsonDocument::fromJson(env().reply(R"({"TYPE":"getDriveState"})", headers)).object();
    }
    static bool acked(const QByteArray& query, const RequestHeaders& headers = RequestHeaders()) {
        return env().reply(query, headers).endsWith(R"("TYPE":"ACK"})");
    }
    static ControlHandler& daemonHandler() { return env().fcgi().context().control; }

    /// Forgets what the robot got so far.
    static bool forget() { return env().syncWith(*s_robot); }
    /// Whether the set-points the robot got so far, one letter each, match `pattern`: "0" a
    /// standstill, "a", "b", ... the first of `legend` it equals, "?" any other.
    static ::testing::AssertionResult reads(const char* pattern,
                                            std::initializer_list<SetPoint> legend = {}) {
        QString letters;
        for (const QJsonArray& a : s_robot->commands(QStringLiteral("omnidrive"))) {
            const SetPoint p{a.at(0).toDouble(), a.at(1).toDouble(), a.at(2).toDouble()};
            QChar letter = p.near({0, 0, 0}) ? '0' : '?';
            for (int i = 0; letter == '?' && i < int(legend.size()); ++i)
                if (p.near(legend.begin()[i])) letter = QChar('a' + i);
            letters += letter;
        }
        if (QRegularExpression(QStringLiteral("^(%1)$").arg(pattern)).match(letters).hasMatch())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "set-points " << letters.toStdString() << " not "
                                             << pattern;
    }
    /// `reads` once what the client sent so far has reached the robot (a marker after it).
    static ::testing::AssertionResult sent(const char* pattern, std::initializer_list<SetPoint> legend = {}) {
        if (!env().syncWith(*s_robot, false)) return ::testing::AssertionFailure() << "no marker came back";
        return reads(pattern, legend);
    }
    static void publishOdometry(double x, double y, double phi) {
        static unsigned int sequence = 0;
        s_robot->publish(QStringLiteral("odometry"), QJsonArray{x, y, phi, 0.0, 0.0, 0.0, qint64(++sequence)});
    }
    /// Publishes a pose with a new x and waits until `handler` has it: what came before is handled.
    static bool publishPose(const ControlHandler& handler, double x, double y = 0, double phi = 0) {
        publishOdometry(x, y, phi);
        return waitFor([&] { return std::fabs(handler.positionDriver().actualX() - x) < 1e-6; });
    }

    static inline testsupport::TestRobot* s_robot = nullptr;
};

class ControlHandlerTest : public ControlFixture {};

TEST_F(ControlHandlerTest, AddsIncrementsAndStandsStillFirstOnAStopABumperContactAndGoingAway) {
    auto handler = std::make_unique<ControlHandler>();  // made while connected: a standstill at once
    handler->stop();  // standing still: neither a stop nor a keep-alive sends anything
    handler->alive();
    handler->deliverPending();
    EXPECT_FALSE(handler->isDriving());
    handler->addDeltaVel(0.1f, 0, 0);
    handler->addDeltaVel(0.1f, 0, 0);
    handler->addDeltaVel(-0.3f, 0.05f, 0.5f);  // every axis sums on its own, and may change sign
    ASSERT_TRUE(waitFor([] { return reads("0.+"); }));
    handler->stop();  // forgets the sum: the next increment starts from standstill
    handler->stop();  // one standstill for two stops
    // A contact stops without the setting too, which is read at each contact; a release never stops.
    const struct {
        const char* ini;
        bool contact, stops;
    } rows[] = {{"", true, true}, {"[Bumper]\nstopdriving=true\n", true, true},
                {"[Bumper]\nstopdriving=true\n", false, false}, {"[Bumper]\nstopdriving=false\n", true, false}};
    double x = 0;
    for (const auto& row : rows) {
        setConfig(row.ini);
        handler->addDeltaVel(0.2f, 0, 0);
        handler->deliverPending();
        s_robot->publish("bumper", {row.contact});
        ASSERT_TRUE(publishPose(*handler, x += 0.1));
        handler->deliverPending();
        EXPECT_EQ(handler->isDriving(), !row.stops) << row.ini << row.contact;
    }
    handler.reset();  // going away while driving leaves the robot at standstill
    EXPECT_TRUE(sent("0a+0b*0b*0b*c*0", {{-0.1, 0.05, 0.5}, {0.2, 0, 0}, {0.4, 0, 0}}));
}

TEST_F(ControlHandlerTest, NothingDrivesAcrossAnOutageAndTheRobotIsOwedOnlyAStandstill) {
    // Made before the connection, as the daemon starts: a standstill once it is up, so that a
    // crashed daemon's last set-point never goes on; the page's drive before that moves nothing.
    env().client().disconnectFromServer();
    s_robot->clearMessages();
    ControlHandler handler;
    handler.addDeltaVel(0.3f, 0, 0);
    handler.deliverPending();
    ASSERT_TRUE(env().connectTo(*s_robot));
    handler.addDeltaVel(0.1f, 0, 0);
    ASSERT_TRUE(waitFor([] { return reads("0a+", {{0.1, 0, 0}}); }));

    // The link goes while driving: driving ends, the page is told, and what it and a command
    // answered just before go on sending arms nothing.
    s_robot->disconnectClients();
    ASSERT_TRUE(waitFor([] { return !env().client().isConnected(); }));
    EXPECT_FALSE(handler.isDriving());
    EXPECT_EQ(handler.driveState().lastStop, ControlHandler::StopReason::Link);
    for (const QByteArray& query : {velDrive(0, 0.3), kPositionDrive})
        EXPECT_EQ(env().reply(query), R"({"MSG":"NO CONNECTION TO THE ROBOT","TYPE":"ERR"})") << query.data();
    handler.addDeltaVel(0, 0, 0.3f);
    handler.alive();
    handler.deliverPending();
    EXPECT_FALSE(handler.isDriving());
    s_robot->clearMessages();
    ASSERT_TRUE(env().connectTo(*s_robot));
    EXPECT_TRUE(sent("0"));
    // Driving again after the return is a fresh start.
    handler.addDeltaVel(0, 0, 0.2f);
    ASSERT_TRUE(waitFor([] { return reads("0a+", {{0, 0, 0.2}}); }));
}

// Ticks that come late, as on a starved or frozen robot computer: the handler's clock runs
// `m_step` ms ahead after every tick, while the real timer still ticks every 100 ms.
class LateTicks : public ControlHandler {
public:
    explicit LateTicks(qint64 stepMs) : m_step(stepMs) {
        connect(findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly), &QTimer::timeout, this,
                [this] { m_offset += m_step.load(); });
    }
    qint64 nowMs() const override { return ControlHandler::nowMs() + m_offset.load(); }
    std::atomic<qint64> m_step, m_offset{0};
};

TEST_F(ControlHandlerTest, WatchdogLetsTwentySetPointsOutAndStopsOnTimeHoweverLateTheTicksCome) {
    const struct {
        qint64 step;
        bool freeze;
        const char* sent;
    } rows[] = {
        {0, false, "a{20}0"},  // on time, nothing after the drive command: twenty, then one standstill
        {300, false, "a{1,6}0"},  // 400 ms apart, where twenty would stretch two seconds into eight
        // A freeze after the first set-point while the page feeds the watchdog: the late tick ends
        // driving, and a keep-alive after it resumes nothing.
        {0, true, "a{1,2}0"},
    };
    for (const auto& row : rows) {
        LateTicks handler(row.step);
        ASSERT_TRUE(forget());
        handler.addDeltaVel(0, 0, 0.3f);
        ASSERT_TRUE(waitFor([] { return reads(".+"); }));
        if (row.freeze) handler.m_step = 3000;
        ASSERT_TRUE(waitFor([&] {
            if (row.freeze) handler.alive();
            return !handler.isDriving();
        }, 8000));
        handler.alive();
        EXPECT_TRUE(sent(row.sent, {{0, 0, 0.3}}));
        EXPECT_EQ(handler.driveState().lastStop, ControlHandler::StopReason::Watchdog);
        EXPECT_TRUE(!row.freeze || handler.lateTickStops() == 1u) << handler.lateTickStops();
    }
}

TEST_F(ControlHandlerTest, PositionModeLimitsTheSpeedsTakesTheTargetFromTheCurrentPoseAndNeedsOdometry) {
    ControlHandler handler;
    const auto startsAs = [&](int mode, float vel = 0.3f, float rotvel = 1.0f) {
        handler.startPositionMode(1.0f, 0, 0.5f, vel, rotvel, mode);
        handler.deliverPending();
        return handler.positionDriver().movement();
    };
    // No pose yet: a relative target cannot be placed, so nothing starts.
    EXPECT_EQ(startsAs(0), PositionDriver::Idle);
    ASSERT_TRUE(publishPose(handler, 1.0, 2.0, kPi / 2));
    const struct {
        float vel, rotvel;
        double topSpeed, topDegreesPerSecond;
    } rows[] = {{2.0f, 10.0f, 0.5, 90.0}, {0.0f, 0.0f, 0.04, 5.0}, {-1.0f, -1.0f, 0.04, 5.0}, {0.2f, 0.5f, 0.2, 28.6478}};
    for (const auto& row : rows) {
        startsAs(0, row.vel, row.rotvel);
        EXPECT_NEAR(handler.positionDriver().vVector().last().y(), row.topSpeed, 1e-6) << row.vel;
        EXPECT_NEAR(handler.positionDriver().omegaVector().last().y(), row.topDegreesPerSecond, 1e-3) << row.rotvel;
    }
    // Each mode its own kind; an unknown mode starts nothing, nor resumes the movement before.
    const PositionDriver::Movement kinds[] = {PositionDriver::TranslateThenRotate, PositionDriver::TranslateAndRotate,
                                              PositionDriver::TurnDriveTurn, PositionDriver::DriveFacingThenRotate};
    for (int mode : {3, 2, 1, 0, 4, -1})
        EXPECT_EQ(startsAs(mode), mode >= 0 && mode < 4 ? kinds[mode] : PositionDriver::Idle) << mode;
    EXPECT_NEAR(handler.positionDriver().targetPhi(), kPi / 2 + 0.5, 1e-5);
    ASSERT_TRUE(forget());
    ASSERT_TRUE(publishPose(handler, 1.1, 2.0, kPi / 2));
    ASSERT_TRUE(waitFor([] { return reads("..+"); }));
    EXPECT_TRUE(reads("0+"));

    // One metre ahead of a robot facing +y is straight ahead, at top speed; the odometry falls silent
    // while the page keeps the watchdog fed: standstill, still driving, until fresh odometry resumes.
    handler.startPositionMode(1.0f, 0, 0, 0.3f, 1.0f, 0);
    for (int round = 0, polls = 0; round < 2; ++round) {
        ASSERT_TRUE(waitFor([&] {
            if (++polls % 20 == 0) publishOdometry(1.1, 2.0, kPi / 2);
            handler.alive();
            return reads(".*a", {{0.3, 0, 0}});
        }));
        s_robot->clearMessages();
        ASSERT_TRUE(waitFor([&] {
            handler.alive();
            return reads(".*0");
        }));
        EXPECT_TRUE(handler.isDriving());
    }
    // A pose gone stale is no ground for a new target either.
    handler.stop();
    EXPECT_EQ(startsAs(1), PositionDriver::Idle);
}

class DriveCommandsTest : public ControlFixture {};

TEST_F(DriveCommandsTest, RefusesBadParametersPostingNothingAndRepliesTheValuesAsTheRobotGetsThem) {
    const std::pair<const char*, QByteArray> refused[] = {
        {R"({"TYPE":"velDrive","vx":"0.1","vy":0})", testsupport::kReplyMissing},
        {R"({"TYPE":"velDrive","vx":[0.1],"vy":null,"omega":true})", testsupport::kReplyInvalid},
        // Beyond what a float holds: refused instead of becoming infinity.
        {R"({"TYPE":"velDrive","vx":0,"vy":-1e39,"omega":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"positionDrive","x":"1","y":0,"omega":0,"vel":0.1,"rotvel":0.1})", testsupport::kReplyMissing},
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":"fast","rotvel":0.1,"mode":0})", testsupport::kReplyInvalid},
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":1.0})", testsupport::kReplyInvalid},
        // A mode that would wrap into a valid movement kind as an int.
        {R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.1,"rotvel":0.1,"mode":4294967296})", testsupport::kReplyInvalid},
    };
    for (const auto& [query, reply] : refused) EXPECT_EQ(env().reply(query), reply) << query;
    daemonHandler().deliverPending();
    EXPECT_FALSE(daemonHandler().isDriving());
    EXPECT_TRUE(sent(""));

    // A command after {"TYPE": and the MSG of its ACK.
    const std::pair<QByteArray, QByteArray> acked[] = {
        {R"("velDrive","vx":0.1,"vy":0,"omega":0.5)", "velDrive(0.100,0.000,0.500)"},
        // Integers are numbers too; the text shows the float the robot is sent, written out whole.
        {R"("velDrive","vx":1e30,"vy":-3.4e38,"omega":2)",
         "velDrive(1000000015047466219876688855040.000,-339999995214436424907732413799364296704.000,2.000)"},
        {R"("positionDrive","x":1,"y":-0.5,"omega":0.7854,"vel":0.3,"rotvel":0.2,"mode":2)",
         "positionDrive(1.000,-0.500,0.785,0.300,0.200,2)"},
        // The limits apply in the handler: the reply shows what was asked for.
        {R"("positionDrive","x":0,"y":0,"omega":0,"vel":9,"rotvel":-1,"mode":-7)",
         "positionDrive(0.000,0.000,0.000,9.000,-1.000,-7)"},
        // As the C format "%1.3f" writes them: halfway values round to even on the exact binary
        // value, and a negative zero keeps its sign.
        {R"("velDrive","vx":0.0625,"vy":-0.0,"omega":0.1875)", "velDrive(0.062,-0.000,0.188)"},
    };
    for (const auto& [command, msg] : acked) {
        const QByteArray query = R"({"TYPE":)" + command + "}";
        EXPECT_EQ(env().reply(query), R"({"MSG":")" + msg + R"(","TYPE":"ACK"})") << query.constData();
    }
}

// Kept alive however slow this machine is, the move ends as reached, not by the watchdog, with the
// robot left at standstill.
TEST_F(DriveCommandsTest, APositionMoveShowsWhatIsLeftAndEndsWhenReached) {
    ControlHandler& handler = daemonHandler();
    ASSERT_TRUE(publishPose(handler, 0.1, 0, 0.2));
    ASSERT_TRUE(acked(R"({"TYPE":"positionDrive","x":0.5,"y":0,"omega":0.3,"vel":0.3,"rotvel":1,"mode":1})"));
    ASSERT_TRUE(waitFor([] { return driveState()["mode"] == "position"; }));
    const double targetX = handler.positionDriver().targetX(), targetY = handler.positionDriver().targetY();
    const auto fed = [](const auto& condition) {
        return waitFor([&] { return acked(kHeartbeat) && condition(); });
    };
    ASSERT_TRUE(publishPose(handler, targetX - 0.2, targetY, 0.4));
    const auto left = [](const char* key) { return driveState()["target"].toObject()[key].toDouble(); };
    ASSERT_TRUE(fed([&] { return std::fabs(left("distanceLeft") - 0.2) < 1e-4; }));
    EXPECT_NEAR(left("angleLeft"), 0.1, 1e-4);
    publishOdometry(targetX, targetY, 0.5);
    ASSERT_TRUE(fed([] { return driveState()["mode"] == "stopped"; }));
    const QJsonObject state = driveState();
    EXPECT_EQ(state["lastStop"].toObject()["reason"], "reached");
    EXPECT_FALSE(state.contains("target"));
    EXPECT_TRUE(sent(".*0"));
}

// A page of the robot, as the web server passes its requests on.
RequestHeaders page(const char* id, const char* address, const char* agent) {
    RequestHeaders headers;
    headers.driver = id;
    headers.remoteAddr = address;
    headers.userAgent = agent;
    headers.pageMark = "1";
    return headers;
}

TEST_F(DriveCommandsTest, OnePageDrivesTheOthersWatchUntilOneTakesOver) {
    const QByteArray refused = R"({"MSG":"ANOTHER PAGE IS DRIVING","TYPE":"ERR"})";
    const RequestHeaders a = page("page-a", "192.168.0.12", "<img src=x onerror=alert(1)>");
    const RequestHeaders b =
        page("page-b", "10.0.0.7", "Mozilla/5.0 (Android 14; Mobile; rv:125.0) Gecko/125.0 Firefox/125.0");
    // Taken from the scripts of the tests before, which may still hold the drive.
    ASSERT_TRUE(acked(velDrive(0.25, -0.5, true), a));
    ASSERT_TRUE(waitFor([] { return reads(".+"); }));
    // Its drive state shows the set-point, the watchdog and who drives.
    QJsonObject state = driveState(a);
    EXPECT_EQ(state.keys(), (QStringList{"TYPE", "driver", "lastMessageMs", "lastStop", "link", "mode", "omega",
                                         "vx", "vy", "watchdogMs"}));
    EXPECT_EQ(state["mode"], "velocity");
    EXPECT_EQ(state["vx"].toDouble(), 0.25);
    EXPECT_EQ(state["omega"].toDouble(), -0.5);
    const int watchdogMs = state["watchdogMs"].toInt();
    EXPECT_TRUE(watchdogMs > 0 && watchdogMs <= ControlHandler::kAliveMs) << watchdogMs;
    EXPECT_EQ(state["driver"].toObject()["you"], true);
    // Another page, and a script, change nothing: no increment, no stop, no take-over.
    for (const RequestHeaders& other : {b, RequestHeaders()}) {
        for (const QByteArray& query : {velDrive(0.1), kPositionDrive, kHeartbeat})
            EXPECT_EQ(env().reply(query, other), refused) << query.constData();
    }
    daemonHandler().deliverPending();
    EXPECT_TRUE(sent("a+", {{0.25, 0, -0.5}}));
    // The others see who drives, in text that holds no markup and never their id.
    const QByteArray seen = env().reply(R"({"TYPE":"getDriveState"})", b);
    EXPECT_FALSE(seen.contains('<') || seen.contains("page-a")) << seen.constData();
    QJsonObject driver = QJsonDocument::fromJson(seen).object()["driver"].toObject();
    EXPECT_EQ(driver["address"], "192.168.0.12");
    EXPECT_EQ(driver["agent"], "<img src=x onerror=alert(1)>");
    EXPECT_EQ(driver["you"], false);

    // Taken over: a standstill first, then the second page's set-points alone (not added to the
    // first's); the first page is refused from then on and learns why its drive ended.
    ASSERT_TRUE(acked(velDrive(0.1, 0, true), b));
    ASSERT_TRUE(waitFor([] { return reads("a+0b+", {{0.25, 0, -0.5}, {0.1, 0, 0}}); }));
    EXPECT_EQ(env().reply(kHeartbeat, a), refused);
    state = driveState(a);
    EXPECT_EQ(state["lastStop"].toObject()["reason"], "takeover");
    EXPECT_EQ(state["driver"].toObject()["you"], false);
    EXPECT_EQ(state["driver"].toObject()["agent"], "Firefox on Android");

    // The refused page's keep-alives do not feed the watchdog: the drive ends two seconds after
    // its driver fell silent, and then the drive is free for anyone, a script too.
    ASSERT_TRUE(waitFor([&] {
        env().reply(kHeartbeat, a);
        return !daemonHandler().isDriving();
    }));
    EXPECT_EQ(driveState()["lastStop"].toObject()["reason"], "watchdog");
    ASSERT_TRUE(waitFor([] { return driveState()["driver"].isNull(); }));
    EXPECT_TRUE(acked(velDrive(0.05)));
    EXPECT_EQ(driveState()["driver"].toObject()["you"], true);
    ASSERT_TRUE(acked(R"({"TYPE":"stop"})"));
    ASSERT_TRUE(waitFor([] { return driveState()["lastStop"].toObject()["reason"] == "request"; }));
    EXPECT_EQ(driveState()["watchdogMs"], 0);
}

class ControlThreadTest : public ControlFixture {};

TEST_F(ControlThreadTest, RequestThreadPostsAndFeedsTheWatchdogWhileMainThreadDrives) {
    const QByteArray queries[] = {velDrive(0.01, 0.02), kHeartbeat,
                                  R"({"TYPE":"positionDrive","x":0.5,"y":0.1,"omega":0.2,"vel":0.3,"rotvel":1,"mode":1})",
                                  R"({"TYPE":"stop"})", R"({"TYPE":"getDriveState"})"};
    std::atomic<bool> posted{false}, enough{false};
    int answered = 0;
    std::thread requests([&] {
        for (int i = 0; i < 600; ++i) {
            answered += !env().reply(queries[i % std::size(queries)]).contains(R"("TYPE":"ERR")");
            daemonHandler().alive();
        }
        answered += acked(velDrive(0.1));
        posted = true;
        while (!enough.load()) {
            env().reply(kHeartbeat);
            QThread::msleep(5);  // a busy page; how often does not matter
        }
    });
    double x = 0;
    const bool finished = waitFor([&] {
        publishOdometry(x += 0.001, 0, 0);
        return posted.load();
    }, 60000);
    // The main thread may be well behind the request thread on a loaded machine: what is still
    // waiting is handled now, in posting order. Then the keep-alives alone carry the last drive
    // past the watchdog's twenty ticks and two seconds; when they end, the watchdog stops it.
    daemonHandler().deliverPending();
    const bool fed = finished && forget() && waitFor([] { return reads(".{30,}"); }, 20000);
    enough = true;
    requests.join();
    ASSERT_TRUE(fed);
    EXPECT_EQ(answered, 601);
    ASSERT_TRUE(waitFor([] { return reads("a+0", {{0.1, 0, 0}}); }));
}

}  // namespace
