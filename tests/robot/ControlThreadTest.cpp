// The request thread posting drive commands and refilling the watchdog while the main thread
// drives and receives odometry: every request is answered, the robot hears set-points, and the
// last word after the final stop is a standstill.
#include <QThread>
#include <atomic>
#include <thread>

#include "ControlTestSupport.h"

using controltest::ControlFixture;
using controltest::SetPoint;
using testsupport::spin;
using testsupport::waitFor;

namespace {

class ControlThreadTest : public ControlFixture {};

TEST_F(ControlThreadTest, RequestThreadPostsWhileMainThreadDrives) {
    const QByteArray queries[] = {
        R"({"TYPE":"velDrive","vx":0.01,"vy":-0.01,"omega":0.02})",
        R"({"TYPE":"HEARTBEAT"})",
        R"({"TYPE":"positionDrive","x":0.5,"y":0.1,"omega":0.2,"vel":0.3,"rotvel":1,"mode":1})",
        R"({"TYPE":"HEARTBEAT"})",
        R"({"TYPE":"stop"})",
        R"({"TYPE":"velDrive","vx":-0.01,"vy":0.01,"omega":-0.02})",
    };
    std::atomic<bool> done{false};
    int answered = 0;
    int acked = 0;
    std::thread requests([&] {
        for (int i = 0; i < 600; ++i) {
            const QByteArray& query = queries[i % std::size(queries)];
            JsonPtr reply = env().requestJson(query);
            ++answered;
            const json_t* type = reply ? json_object_get(reply.get(), "TYPE") : nullptr;
            if (type && json_is_string(type) && json_string_value(type) == std::string("ACK")) {
                ++acked;
            }
            // The handler's own thread-safe calls, mixed in between requests.
            daemonHandler().alive();
            QThread::msleep(1);
        }
        env().requestJson(R"({"TYPE":"stop"})");
        done = true;
    });

    // Meanwhile the main thread delivers the events, ticks the timer and takes odometry.
    double x = 0;
    const bool finished = waitFor(
        [&] {
            publishOdometry(x += 0.001, 0, 0);
            return done.load();
        },
        60000);
    requests.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(answered, 600);
    EXPECT_EQ(acked, 600);

    ASSERT_TRUE(waitFor([] { return !daemonHandler().isDriving(); }, 5000));
    spin(300);
    EXPECT_GT(setPoints().size(), 5);
    EXPECT_TRUE(lastIsZero());
}

TEST_F(ControlThreadTest, AliveFromAnotherThreadKeepsTheWatchdogFed) {
    ControlHandler handler;
    handler.addDeltaVel(0.1f, 0, 0);
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        while (!done.load()) {
            handler.alive();
            QThread::msleep(20);
        }
    });
    spin(3000);
    done = true;
    feeder.join();
    EXPECT_EQ(zeroCount(), 0);
    EXPECT_TRUE(handler.isDriving());
    ASSERT_TRUE(waitFor([] { return zeroCount() == 1; }, 5000));
}

}  // namespace
