#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "RobotSimulator.h"
#include "Wait.h"
#include "kel/corvanta/rpc/Client.h"
#include "kel/rpc/Server.h"

namespace {

using Client = kel::corvanta::rpc::Client;
using testsupport::spin;
using testsupport::waitFor;

struct Odometry {
    double x, y, phi;
    float vx, vy, omega;
    unsigned int sequence;
};

struct Image {
    QByteArray data;
    unsigned int width, height, step;
    QString format;
};

class RobotSimulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.listen(QHostAddress::LocalHost, 0));
        m_sim.start();
        QObject::connect(&m_client, &Client::odometry_changed,
                         [this](double x, double y, double phi, float vx, float vy, float omega,
                                unsigned int seq) {
                             m_odometry.append({x, y, phi, vx, vy, omega, seq});
                         });
        QObject::connect(&m_client, &Client::bumper_changed,
                         [this](bool b) { m_bumper.append(b); });
        QObject::connect(&m_client, &Client::image0_changed,
                         [this](const QByteArray& data, unsigned int w, unsigned int h,
                                unsigned int step, const QString& format) {
                             m_images.append({data, w, h, step, format});
                         });
        m_client.setAddress(QStringLiteral("127.0.0.1:%1").arg(m_sim.serverPort()));
    }
    bool connectClient() {
        m_client.connectToServer(3000);
        return waitFor([this] { return m_client.isConnected(); });
    }

    RobotSimulator m_sim;
    Client m_client;
    QList<Odometry> m_odometry;
    QList<bool> m_bumper;
    QList<Image> m_images;
};

TEST_F(RobotSimulatorTest, DrivesTheSetPointAndPublishesOdometryWithGrowingSequence) {
    m_client.set_kel_corvanta_rpc_odometry_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_odometry.size() >= 3; }));
    EXPECT_EQ(m_odometry.last().x, 0.0);
    m_client.set_omnidrive(0.5f, 0, 0);
    ASSERT_TRUE(waitFor([this] { return m_odometry.last().x > 0.2; }));
    EXPECT_FLOAT_EQ(m_odometry.last().vx, 0.5f);
    EXPECT_NEAR(m_odometry.last().y, 0.0, 1e-9);
    for (int i = 1; i < m_odometry.size(); ++i) {
        EXPECT_GT(m_odometry[i].sequence, m_odometry[i - 1].sequence);
    }
    // The robot holds the set-point until the next one.
    const double x = m_odometry.last().x;
    ASSERT_TRUE(waitFor([&] { return m_odometry.last().x > x + 0.05; }));
    m_client.set_omnidrive(0, 0, 0);
    ASSERT_TRUE(waitFor([this] { return m_odometry.last().vx == 0; }));
}

TEST_F(RobotSimulatorTest, ReportsBumperContactAtTheWallAndReleaseWhenDrivingOff) {
    m_client.set_kel_corvanta_rpc_bumper_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return m_bumper == QList<bool>{false}; }));  // state on switch-on
    m_sim.model().setPose(1.75, 0, 0);
    m_client.set_omnidrive(1.0f, 0, 0);
    ASSERT_TRUE(waitFor([this] { return m_bumper.size() == 2; }));
    EXPECT_TRUE(m_bumper.last());
    EXPECT_TRUE(m_sim.model().inContact());
    spin(100);
    EXPECT_EQ(m_bumper.size(), 2);  // pushing on does not repeat the contact
    m_client.set_omnidrive(-0.5f, 0, 0);
    ASSERT_TRUE(waitFor([this] { return m_bumper.size() == 3; }));
    EXPECT_FALSE(m_bumper.last());
}

TEST_F(RobotSimulatorTest, AppliesOutputCommandsAndPublishesTheOutputsBack) {
    QList<QVector<bool>> outputs, relays;
    QObject::connect(&m_client, &Client::set_digital_output_array_changed,
                     [&](const QVector<bool>& v) { outputs.append(v); });
    QObject::connect(&m_client, &Client::set_relay_array_changed,
                     [&](const QVector<bool>& v) { relays.append(v); });
    m_client.set_kel_corvanta_rpc_set_digital_output_array_enabled(true);
    m_client.set_kel_corvanta_rpc_set_relay_array_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([&] { return outputs.size() == 1 && relays.size() == 1; }));
    EXPECT_EQ(outputs.last(), QVector<bool>(8, false));
    EXPECT_EQ(relays.last(), QVector<bool>(2, false));

    m_client.set_set_digital_output_array({true, false, true});
    m_client.set_set_relay_array({false, true});
    ASSERT_TRUE(waitFor([&] { return outputs.size() == 2 && relays.size() == 2; }));
    EXPECT_EQ(outputs.last(),
              (QVector<bool>{true, false, true, false, false, false, false, false}));
    EXPECT_EQ(relays.last(), (QVector<bool>{false, true}));
    // An empty list changes nothing; the state is reported again all the same.
    m_client.set_set_digital_output_array({});
    ASSERT_TRUE(waitFor([&] { return outputs.size() == 3; }));
    EXPECT_EQ(outputs.last(), outputs.at(1));
    EXPECT_EQ(m_sim.digitalOutputs(), outputs.last());
}

TEST_F(RobotSimulatorTest, PublishesChargerVersionsOnceWhenSwitchedOn) {
    QStringList versions;
    QObject::connect(&m_client, &Client::charger0_version_changed, [&](int a, int b, int c) {
        versions.append(QStringLiteral("0:%1.%2.%3").arg(a).arg(b).arg(c));
    });
    QObject::connect(&m_client, &Client::charger2_version_changed, [&](int a, int b, int c) {
        versions.append(QStringLiteral("2:%1.%2.%3").arg(a).arg(b).arg(c));
    });
    m_client.set_kel_corvanta_rpc_charger0_version_enabled(true);
    m_client.set_kel_corvanta_rpc_charger2_version_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([&] { return versions.size() == 2; }));
    spin(300);
    EXPECT_EQ(versions, (QStringList{"0:1.4.2", "2:0.0.0"}));
}

TEST_F(RobotSimulatorTest, PublishesBatteryChargerSensorsAndInputs) {
    QList<float> voltages;
    QList<int> chargerCounts;
    QList<QVector<float>> distances;
    QList<QVector<bool>> digital;
    QList<QVector<float>> analog;
    QStringList chargerStates;
    QObject::connect(&m_client, &Client::battery_changed,
                     [&](float v, float, bool ext, int n, const QString&, bool, int) {
                         voltages.append(v);
                         chargerCounts.append(ext ? -1 : n);
                     });
    QObject::connect(&m_client, &Client::charger0_info_changed,
                     [&](unsigned int, float, float, float, float, int, const QString& s) {
                         chargerStates.append(s);
                     });
    QObject::connect(&m_client, &Client::distance_sensors_changed,
                     [&](const QVector<float>& v) { distances.append(v); });
    QObject::connect(&m_client, &Client::digital_input_changed,
                     [&](const QVector<bool>& v) { digital.append(v); });
    QObject::connect(&m_client, &Client::analog_input_changed,
                     [&](const QVector<float>& v) { analog.append(v); });
    m_client.set_kel_corvanta_rpc_battery_enabled(true);
    m_client.set_kel_corvanta_rpc_charger0_info_enabled(true);
    m_client.set_kel_corvanta_rpc_distance_sensors_enabled(true);
    m_client.set_kel_corvanta_rpc_digital_input_enabled(true);
    m_client.set_kel_corvanta_rpc_analog_input_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([&] { return voltages.size() >= 2 && !chargerStates.isEmpty(); }, 5000));
    EXPECT_LE(voltages.last(), voltages.first());
    EXPECT_GT(voltages.last(), 20.0f);
    EXPECT_EQ(chargerCounts.last(), 1);  // external power off, one charger
    ASSERT_FALSE(distances.isEmpty());
    EXPECT_EQ(distances.last().size(), 9);
    EXPECT_NEAR(distances.last().at(0), 1.8f, 1e-5);
    ASSERT_FALSE(digital.isEmpty());
    EXPECT_EQ(digital.last().size(), 8);
    ASSERT_FALSE(analog.isEmpty());
    EXPECT_EQ(analog.last().size(), 8);
}

TEST_F(RobotSimulatorTest, StreamsCameraFramesInTheRequestedModeOnlyWhileSwitchedOn) {
    m_client.set_kel_corvanta_rpc_image0_enabled(true);
    ASSERT_TRUE(connectClient());
    ASSERT_TRUE(waitFor([this] { return !m_images.isEmpty(); }));
    EXPECT_EQ(m_images.last().format, "mjpg");
    EXPECT_EQ(QImage::fromData(m_images.last().data, "JPG").size(), QSize(320, 240));

    m_client.set_set_camera0_settings(160, 120, "rgb24");
    ASSERT_TRUE(waitFor([this] { return m_images.last().format == "rgb24"; }));
    EXPECT_EQ(m_images.last().width, 160u);
    EXPECT_EQ(m_images.last().step, 480u);
    EXPECT_EQ(m_images.last().data.size(), 160 * 120 * 3);

    m_client.set_set_camera0_settings(640, 480, "mjpg");
    ASSERT_TRUE(waitFor([this] { return m_images.last().width == 640; }));
    EXPECT_EQ(QImage::fromData(m_images.last().data, "JPG").size(), QSize(640, 480));

    // A mode the camera cannot deliver leaves the mode as it was.
    m_client.set_set_camera0_settings(641, 480, "yuyv");
    const int seen = m_images.size();
    ASSERT_TRUE(waitFor([&] { return m_images.size() >= seen + 2; }));
    EXPECT_EQ(m_images.last().width, 640u);
    EXPECT_EQ(m_sim.cameraFormat(), "mjpg");

    m_client.set_kel_corvanta_rpc_image0_enabled(false);
    ASSERT_TRUE(waitFor([this] { return !m_sim.server().anySubscribed("image0"); }));
    spin(50);
    const int stopped = m_images.size();
    spin(300);
    EXPECT_EQ(m_images.size(), stopped);
}

TEST_F(RobotSimulatorTest, ForwardsAClientsOwnPublicationAndRecordsWhatItReceives) {
    QTemporaryDir dir;
    const QString recordFile = dir.filePath("record.jsonl");
    {
        QFile existing(recordFile);
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("{\"earlier\":1}\n");
    }
    ASSERT_TRUE(m_sim.setRecordFile(recordFile));
    QList<QVector<float>> distances;
    QObject::connect(&m_client, &Client::distance_sensors_changed,
                     [&](const QVector<float>& v) { distances.append(v); });
    m_client.set_kel_corvanta_rpc_bumper_enabled(true);
    m_client.set_kel_corvanta_rpc_distance_sensors_enabled(true);
    ASSERT_TRUE(connectClient());
    m_client.set_omnidrive(0.25f, 0, 0);

    QTcpSocket injector;
    injector.connectToHost(QHostAddress::LocalHost, m_sim.serverPort());
    ASSERT_TRUE(waitFor([&] { return injector.state() == QAbstractSocket::ConnectedState; }));
    injector.write(
        "{\"op\":\"publish\",\"topic\":\"bumper\",\"args\":[true]}\n"
        "{\"op\":\"publish\",\"topic\":\"distance_sensors\",\"args\":[[0.5,0.25]]}\n");
    ASSERT_TRUE(waitFor([&] { return m_bumper.contains(true); }));
    ASSERT_TRUE(waitFor([&] { return distances.contains(QVector<float>{0.5f, 0.25f}); }));
    EXPECT_FALSE(m_sim.model().inContact());

    QFile file(recordFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines.at(0), "{\"earlier\":1}");
    QStringList seen;
    for (int i = 1; i < lines.size(); ++i) {
        const QJsonObject m = QJsonDocument::fromJson(lines.at(i)).object();
        seen.append(m.value("op").toString() + " " + m.value("topic").toString());
    }
    EXPECT_EQ(seen, (QStringList{"enable bumper", "enable distance_sensors", "set omnidrive",
                                 "publish bumper", "publish distance_sensors"}));
}

}  // namespace
