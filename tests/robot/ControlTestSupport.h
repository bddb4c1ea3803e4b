// What the drive control tests share: the daemon environment's client talking to a robot played
// over the wire, and the omnidrive set-points that robot received.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <cmath>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "frame/Client.h"
#include "robot/ControlHandler.h"

namespace controltest {

struct SetPoint {
    double vx = 0;
    double vy = 0;
    double omega = 0;
    bool isZero() const { return vx == 0 && vy == 0 && omega == 0; }
    bool near(double x, double y, double w, double tolerance = 1e-6) const {
        return std::fabs(vx - x) <= tolerance && std::fabs(vy - y) <= tolerance &&
               std::fabs(omega - w) <= tolerance;
    }
};

inline std::ostream& operator<<(std::ostream& out, const SetPoint& p) {
    return out << "(" << p.vx << ", " << p.vy << ", " << p.omega << ")";
}

class ControlFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        env().setConfig(QByteArray());
        env().fcgi();  // switches the topics on and creates the daemon's own control handler
        s_robot = new testsupport::TestRobot();
        env().client().setAddress(s_robot->address());
        env().client().connectToServer();
    }
    static void TearDownTestSuite() {
        env().client().disconnectFromServer();
        delete s_robot;
        s_robot = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_robot->isListening());
        ASSERT_TRUE(testsupport::waitFor(
            [] {
                return env().client().isConnected() && s_robot->isSwitchedOn("bumper") &&
                       s_robot->isSwitchedOn("odometry");
            },
            10000));
        env().setConfig(QByteArray());
        // The daemon's handler is left standing by every test that drives it.
        ASSERT_TRUE(testsupport::waitFor([] { return !daemonHandler().isDriving(); }, 5000));
        ASSERT_TRUE(drain());
    }
    void TearDown() override {
        daemonHandler().stop();
        daemonHandler().deliverPending();
    }

    /// Waits until everything the client sent so far has reached the robot, then forgets it: a
    /// switch toggled now arrives after all of it.
    static bool drain() {
        env().client().set_kel_corvanta_rpc_mcstatus_enabled(false);
        env().client().set_kel_corvanta_rpc_mcstatus_enabled(true);
        const bool drained = testsupport::waitFor(
            [] {
                const QList<QJsonObject> messages = s_robot->messages();
                return !messages.isEmpty() &&
                       messages.last().value(QStringLiteral("topic")).toString() ==
                           QLatin1String("mcstatus") &&
                       messages.last().value(QStringLiteral("on")).toBool();
            },
            5000);
        s_robot->clearMessages();
        return drained;
    }
    /// True when one line of `log` ends with "| " + `text`.
    static bool hasLine(const QString& log, const QString& text) {
        for (const QString& line : log.split(QLatin1Char('\n'))) {
            if (line.endsWith(QLatin1String("| ") + text)) return true;
        }
        return false;
    }

    static testsupport::DaemonEnvironment& env() {
        return testsupport::DaemonEnvironment::instance();
    }
    static ControlHandler& daemonHandler() { return *env().fcgi().controlHandler(); }
    static testsupport::TestRobot& robot() { return *s_robot; }

    static QList<SetPoint> setPoints() {
        QList<SetPoint> points;
        for (const QJsonArray& args : s_robot->commands(QStringLiteral("omnidrive"))) {
            points.append({args.at(0).toDouble(), args.at(1).toDouble(), args.at(2).toDouble()});
        }
        return points;
    }
    static int zeroCount() {
        int count = 0;
        for (const SetPoint& p : setPoints()) count += p.isZero() ? 1 : 0;
        return count;
    }
    static bool lastIsZero() {
        const QList<SetPoint> points = setPoints();
        return !points.isEmpty() && points.last().isZero();
    }
    /// Waits until the robot received at least `count` set-points.
    static bool waitForSetPoints(int count, int timeoutMs = 5000) {
        return testsupport::waitFor([count] { return setPoints().size() >= count; }, timeoutMs);
    }
    static void publishOdometry(double x, double y, double phi) {
        static unsigned int sequence = 0;
        s_robot->publish(QStringLiteral("odometry"),
                         QJsonArray{x, y, phi, 0.0, 0.0, 0.0, static_cast<qint64>(++sequence)});
    }
    static void publishBumper(bool contact) {
        s_robot->publish(QStringLiteral("bumper"), QJsonArray{contact});
    }

    static inline testsupport::TestRobot* s_robot = nullptr;
};

}  // namespace controltest
