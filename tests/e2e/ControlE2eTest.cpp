// Remote driving for real: the page's requests through nginx to the daemon, set-points on the wire
// to robotsim, which moves, reports its pose and touches walls. A second client watches the
// simulated robot's odometry and bumper; robotsim's recording shows every set-point it got.
#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <cmath>
#include <memory>

#include "E2e.h"
#include "Robotsim.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"

using namespace testsupport;

namespace {

struct SetPoint {
    double vx = 0, vy = 0, omega = 0;
    qint64 seenMs = 0;  // when the test found it in the recording
    bool isZero() const { return vx == 0 && vy == 0 && omega == 0; }
};

/// Follows robotsim's recording while it grows and keeps the omnidrive set-points in it.
class Recording {
public:
    explicit Recording(const QString& file) : m_file(file) { m_clock.start(); }

    /// Reads what was added since the last call.
    void update() {
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset)) return;
        const QByteArray data = file.readAll();
        const int end = data.lastIndexOf('\n');
        if (end < 0) return;
        m_offset += end + 1;
        for (const QByteArray& line : data.left(end).split('\n')) {
            const QJsonObject message = QJsonDocument::fromJson(line).object();
            if (message.value(QStringLiteral("op")).toString() != QLatin1String("set") ||
                message.value(QStringLiteral("topic")).toString() != QLatin1String("omnidrive")) {
                if (message.value(QStringLiteral("topic")).toString() ==
                    QLatin1String("odometry")) {
                    m_switchedOdometry = true;
                }
                continue;
            }
            const QJsonArray args = message.value(QStringLiteral("args")).toArray();
            m_setPoints.append({args.at(0).toDouble(), args.at(1).toDouble(), args.at(2).toDouble(),
                                m_clock.elapsed()});
        }
    }
    qint64 now() const { return m_clock.elapsed(); }
    const QList<SetPoint>& setPoints() const { return m_setPoints; }
    /// The first standstill after a movement from index `from` on, or -1.
    int stopAfter(int from) const {
        bool moving = false;
        for (int i = from; i < m_setPoints.size(); ++i) {
            if (!m_setPoints[i].isZero()) moving = true;
            if (moving && m_setPoints[i].isZero()) return i;
        }
        return -1;
    }
    bool daemonConnected() const { return m_switchedOdometry; }

private:
    QString m_file;
    qint64 m_offset = 0;
    bool m_switchedOdometry = false;
    QElapsedTimer m_clock;
    QList<SetPoint> m_setPoints;
};

/// A second client that watches the simulated robot.
class Observer {
public:
    explicit Observer(const QString& address) {
        QObject::connect(
            &m_client, &kel::corvanta::rpc::Client::odometry_changed, &m_client,
            [this](double x, double y, double phi, float vx, float vy, float omega, unsigned int) {
                m_x = x;
                m_y = y;
                m_phi = phi;
                m_moving = vx != 0 || vy != 0 || omega != 0;
                ++m_updates;
            });
        QObject::connect(&m_client, &kel::corvanta::rpc::Client::bumper_changed, &m_client,
                         [this](bool contact) { m_contact = contact; });
        m_client.set_kel_corvanta_rpc_odometry_enabled(true);
        m_client.set_kel_corvanta_rpc_bumper_enabled(true);
        m_client.setAddress(address);
        m_client.connectToServer();
    }
    bool hasPose() const { return m_updates > 0; }
    double x() const { return m_x; }
    double y() const { return m_y; }
    double phi() const { return m_phi; }
    bool isMoving() const { return m_moving; }
    bool contact() const { return m_contact; }

private:
    kel::corvanta::rpc::Client m_client;
    double m_x = 0, m_y = 0, m_phi = 0;
    bool m_moving = false;
    bool m_contact = false;
    int m_updates = 0;
};

class ControlE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString record = m_sandbox.path(QStringLiteral("/run/robot.jsonl"));
        ASSERT_TRUE(m_robot.start(record));
        m_sandbox.writeFile(
            QStringLiteral("/etc/corvanta/webgated.conf"),
            "[Log]\nverbosity=3\n\n[Network]\nserver=" + m_robot.address().toUtf8() + "\n");
        m_daemon.reset(new DaemonUnderTest(m_sandbox));
        ASSERT_TRUE(m_daemon->start());
        m_recording.reset(new Recording(record));
        m_observer.reset(new Observer(m_robot.address()));
        ASSERT_TRUE(waitFor(
            [&] {
                m_recording->update();
                return m_recording->daemonConnected() && m_observer->hasPose();
            },
            15000));
    }

    QByteArray command(const QByteArray& json) { return m_daemon->command(json).body; }

    /// Waits for `done` while sending HEARTBEAT every 500 ms, as the page does.
    bool waitWithHeartbeat(const std::function<bool()>& done, int timeoutMs) {
        QElapsedTimer sinceHeartbeat;
        sinceHeartbeat.start();
        return waitFor(
            [&] {
                if (sinceHeartbeat.elapsed() >= 500) {
                    command(R"({"TYPE":"HEARTBEAT"})");
                    sinceHeartbeat.restart();
                }
                m_recording->update();
                return done();
            },
            timeoutMs);
    }

    Robotsim m_robot;
    Sandbox m_sandbox;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    std::unique_ptr<Recording> m_recording;
    std::unique_ptr<Observer> m_observer;
};

TEST_F(ControlE2eTest, PositionDriveBringsTheRobotToTheTargetWhileHeartbeatsArrive) {
    const double targetX = m_observer->x() + std::cos(m_observer->phi());
    const double targetY = m_observer->y() + std::sin(m_observer->phi());
    const auto distance = [&] {
        return std::hypot(m_observer->x() - targetX, m_observer->y() - targetY);
    };
    ASSERT_EQ(
        command(
            R"({"TYPE":"positionDrive","x":1,"y":0,"omega":0,"vel":0.3,"rotvel":0.5,"mode":0})"),
        "{\"MSG\":\"positionDrive(1.000,0.000,0.000,0.300,0.500,0)\",\"TYPE\":\"ACK\"}");

    // Arrived and standing: the last set-points are standstill.
    const bool arrived = waitWithHeartbeat(
        [&] {
            const QList<SetPoint>& points = m_recording->setPoints();
            return distance() < 0.03 && points.size() > 3 && points.last().isZero() &&
                   points[points.size() - 2].isZero() && !m_observer->isMoving();
        },
        60000);
    ASSERT_TRUE(arrived) << "distance " << distance();
    // It stays there while the page keeps the watchdog fed.
    waitWithHeartbeat([] { return false; }, 1000);
    EXPECT_LT(distance(), 0.03);
    EXPECT_FALSE(m_observer->isMoving());
    double top = 0;
    for (const SetPoint& p : m_recording->setPoints()) top = std::max(top, std::hypot(p.vx, p.vy));
    EXPECT_GT(top, 0.2);  // it did drive at speed on the way
    EXPECT_LE(top, 0.3 + 1e-6);
}

TEST_F(ControlE2eTest, VelDriveWithoutFurtherRequestsStopsTheRobot) {
    const qint64 sent = m_recording->now();
    ASSERT_EQ(command(R"({"TYPE":"velDrive","vx":0.2,"vy":0,"omega":0})"),
              "{\"MSG\":\"velDrive(0.200,0.000,0.000)\",\"TYPE\":\"ACK\"}");
    ASSERT_TRUE(waitFor(
        [&] {
            m_recording->update();
            return m_recording->stopAfter(0) >= 0;
        },
        8000));
    const QList<SetPoint> points = m_recording->setPoints();
    const int stop = m_recording->stopAfter(0);
    const qint64 stoppedAfter = points[stop].seenMs - sent;
    EXPECT_GE(stoppedAfter, 1500);
    EXPECT_LE(stoppedAfter, 4000);
    EXPECT_EQ(stop, 20);
    for (int i = 0; i < stop; ++i) EXPECT_NEAR(points[i].vx, 0.2, 1e-6) << i;

    // The simulated robot stands, and nothing more is sent.
    ASSERT_TRUE(waitFor([&] { return !m_observer->isMoving(); }, 3000));
    const double x = m_observer->x();
    spin(1000);
    m_recording->update();
    EXPECT_EQ(m_recording->setPoints().size(), stop + 1);
    EXPECT_NEAR(m_observer->x(), x, 1e-9);
    EXPECT_GT(x, 0.2);  // it had moved
}

TEST_F(ControlE2eTest, DrivingIntoAWallStopsOnTheBumper) {
    ASSERT_EQ(command(R"({"TYPE":"velDrive","vx":0.5,"vy":0,"omega":0})"),
              "{\"MSG\":\"velDrive(0.500,0.000,0.000)\",\"TYPE\":\"ACK\"}");
    qint64 contactAt = -1;
    const bool stopped = waitWithHeartbeat(
        [&] {
            if (contactAt < 0 && m_observer->contact()) contactAt = m_recording->now();
            return contactAt >= 0 && m_recording->stopAfter(0) >= 0;
        },
        20000);
    ASSERT_TRUE(stopped) << "contact " << contactAt;
    const int stop = m_recording->stopAfter(0);
    // The heartbeats kept the watchdog fed: this stop is the bumper's.
    EXPECT_LE(m_recording->setPoints()[stop].seenMs - contactAt, 1500);

    // Heartbeats alone do not start it again.
    waitWithHeartbeat([] { return false; }, 1500);
    EXPECT_EQ(m_recording->setPoints().size(), stop + 1);
    EXPECT_FALSE(m_observer->isMoving());
    EXPECT_TRUE(m_observer->contact());
}

TEST_F(ControlE2eTest, TerminatingTheDaemonWhileDrivingStopsTheRobot) {
    ASSERT_EQ(command(R"({"TYPE":"velDrive","vx":0.1,"vy":0.1,"omega":0})"),
              "{\"MSG\":\"velDrive(0.100,0.100,0.000)\",\"TYPE\":\"ACK\"}");
    ASSERT_TRUE(waitFor(
        [&] {
            m_recording->update();
            return m_recording->setPoints().size() >= 3 && m_observer->isMoving();
        },
        5000));
    int status = -1;
    ASSERT_TRUE(m_daemon->stopDaemon(SIGTERM, &status));
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(waitFor(
        [&] {
            m_recording->update();
            return m_recording->setPoints().last().isZero() && !m_observer->isMoving();
        },
        5000));
}

}  // namespace
