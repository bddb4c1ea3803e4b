#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <csignal>

#include "Wait.h"

namespace {

using testsupport::waitFor;

QString robotsimPath() {
    return QString::fromLocal8Bit(qgetenv("WEBGATED_BINARY_DIR")) + "/tools/robotsim/robotsim";
}

TEST(RobotsimProcessTest, RecordsWhileRunningAndEndsWithStatusZeroOnSignals) {
    for (const char* signalName : {"TERM", "INT"}) {
        QTemporaryDir dir;
        const QString record = dir.filePath("record.jsonl");
        QProcess robotsim;
        robotsim.start(robotsimPath(),
                       {"--listen", "127.0.0.1:0", "--record", record, "--fps", "5"});
        ASSERT_TRUE(robotsim.waitForStarted(5000)) << robotsim.errorString().toStdString();
        QString output;
        quint16 port = 0;
        ASSERT_TRUE(waitFor(
            [&] {
                output += QString::fromLocal8Bit(robotsim.readAllStandardOutput());
                const auto match = QRegularExpression("listening on .*:(\\d+)").match(output);
                if (match.hasMatch()) port = static_cast<quint16>(match.captured(1).toUInt());
                return port != 0;
            },
            10000))
            << output.toStdString();

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(waitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }));
        client.write("{\"op\":\"enable\",\"topic\":\"odometry\",\"on\":true}\nnoise\n");
        // The line is in the file while robotsim still runs.
        ASSERT_TRUE(waitFor([&] {
            QFile file(record);
            return file.open(QIODevice::ReadOnly) &&
                   file.readAll() == "{\"on\":true,\"op\":\"enable\",\"topic\":\"odometry\"}\n";
        }));
        ASSERT_TRUE(waitFor([&] { return client.canReadLine(); }));
        EXPECT_TRUE(client.readLine().startsWith("{\"op\":\"publish\",\"topic\":\"odometry\""));

        if (QByteArray(signalName) == "TERM") {
            robotsim.terminate();
        } else {
            ASSERT_EQ(::kill(static_cast<pid_t>(robotsim.processId()), SIGINT), 0);
        }
        ASSERT_TRUE(robotsim.waitForFinished(10000));
        EXPECT_EQ(robotsim.exitStatus(), QProcess::NormalExit) << signalName;
        EXPECT_EQ(robotsim.exitCode(), 0) << signalName;
    }
}

TEST(RobotsimProcessTest, RejectsBadOptions) {
    for (const QStringList& args :
         {QStringList{"--listen", "nonsense"}, QStringList{"--listen", "127.0.0.1:99999"},
          QStringList{"--fps", "0"}}) {
        QProcess robotsim;
        robotsim.start(robotsimPath(), args);
        ASSERT_TRUE(robotsim.waitForFinished(10000));
        EXPECT_NE(robotsim.exitCode(), 0) << args.join(' ').toStdString();
    }
}

}  // namespace
