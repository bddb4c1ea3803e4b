// Status requests in a second thread while the main thread stores updates: no data race, and
// every group a reply reads comes from one update.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "frame/Client.h"
#include "kel/corvanta/daemons/Log.h"
#include "robot/SensorDataHandler.h"

using testsupport::DaemonEnvironment;

namespace {

JsonPtr parseBody(const QByteArray& response) {
    const int body = response.indexOf("\r\n\r\n");
    return JsonPtr(body < 0 ? nullptr : json_loads(response.constData() + body + 4, 0, nullptr));
}

double number(const json_t* reply, const char* key) {
    return json_number_value(json_object_get(reply, key));
}

TEST(SensorThreadsTest, RequestThreadReadsWhileMainThreadWrites) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    Fcgi& fcgi = env.fcgi();
    SensorDataHandler& sensors = *fcgi.sensorDataHandler();
    // A robot to take the outputs the requests send, so the client's hand-over is exercised too.
    testsupport::TestRobot robot;
    ASSERT_TRUE(robot.isListening());
    env.client().setAddress(robot.address());
    env.client().connectToServer();
    ASSERT_TRUE(testsupport::waitFor([&] { return env.client().isConnected(); }));

    // Only errors are logged meanwhile: the log's cross-thread hand-over is not under test here.
    kel::corvanta::daemons::Log* log = kel::corvanta::daemons::Log::singleton();
    const int verbosity = log->verbosity();
    log->setVerbosity(2);

    std::atomic<bool> done{false};
    std::atomic<int> replies{0};
    std::atomic<int> torn{0};
    std::atomic<int> malformed{0};
    std::thread requests([&] {
        while (!done.load()) {
            const JsonPtr battery = parseBody(fcgi.processRequest("{\"TYPE\":\"getBatteryInfo\"}"));
            const JsonPtr distance = parseBody(fcgi.processRequest("{\"TYPE\":\"getDistance\"}"));
            const JsonPtr io = parseBody(fcgi.processRequest(
                "{\"TYPE\":\"getIOBoardInfo\",\"output\":[1,0,1,0,1,0,1,0,1]}"));
            if (!battery || !distance || !io) {
                ++malformed;
                continue;
            }
            // The writer keeps every value of a group equal, so a mix of two updates shows.
            const double voltage = number(battery.get(), "voltage");
            if (number(battery.get(), "current") != voltage ||
                number(battery.get(), "numChargers") != voltage ||
                number(battery.get(), "c1_vol") != number(battery.get(), "c1_temp2") ||
                number(battery.get(), "c2_major") != number(battery.get(), "c2_patch")) {
                ++torn;
            }
            const json_t* dist = json_object_get(distance.get(), "dist");
            if (json_array_size(dist) != 9) ++malformed;
            for (size_t i = 1; i < json_array_size(dist); ++i) {
                if (json_real_value(json_array_get(dist, i)) !=
                    json_real_value(json_array_get(dist, 0)))
                    ++torn;
            }
            if (!json_is_array(json_object_get(io.get(), "relay"))) ++malformed;
            ++replies;
        }
    });

    QElapsedTimer clock;
    clock.start();
    int update = 0;
    while (clock.elapsed() < 1000) {
        ++update;
        const float value = static_cast<float>(update % 50);
        const int length = update % 5;
        sensors.on_battery_changed(value, value, update % 2 == 0, update % 50,
                                   QString::number(update), update % 3 == 0, update % 50);
        sensors.on_charger1_info_changed(update, value, value, value, value, update,
                                         QString::number(update));
        sensors.on_charger2_version_info_changed(update, update, update);
        sensors.on_distance_sensors_changed(QVector<float>(9, value / 10));
        sensors.on_bumper_changed(update % 7 == 0);
        sensors.on_digitalinput_changed(QVector<bool>(length, true));
        sensors.on_analoginput_changed(QVector<float>(length, value));
        sensors.on_relay_changed(QVector<bool>(length, false));
        if (update % 100 == 0) {
            sensors.on_digitaloutput_changed(QVector<bool>(length, true));
            QCoreApplication::processEvents();
        }
    }
    done = true;
    requests.join();
    env.client().disconnectFromServer();
    log->setVerbosity(verbosity);

    EXPECT_GT(update, 100);
    EXPECT_GT(replies.load(), 10);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(malformed.load(), 0);
}

}  // namespace
