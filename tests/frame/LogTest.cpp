// The process log and the UDP logger.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <thread>

#include "Wait.h"
#include "frame/UdpLogger.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

// "hh:mm:ss.zzz | " in front of a text.
const QString kStamp = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \\| ");

TEST(LogTest, FiltersByVerbosityAndRecreatesTheFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("webgated");
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("from the last run\n");
    }
    QCoreApplication::setApplicationName("webgated");
    {
        Log log(path, 0, true);
        log.log("important", 0);
        log.log("start-up detail", 1);
        log.setVerbosity(1);
        log.log("now visible", 1);
    }
    const QString text = readAll(path);
    EXPECT_FALSE(text.contains("from the last run"));
    EXPECT_FALSE(text.contains("webgated started"));  // level 1 under verbosity 0
    EXPECT_FALSE(text.contains("start-up detail"));
    EXPECT_FALSE(text.contains("new log level is"));  // level 100
    EXPECT_TRUE(QRegularExpression("^" + kStamp + "important\n" + kStamp + "now visible\n" + kStamp +
                                   "webgated stopped\n$")
                    .match(text)
                    .hasMatch())
        << text.toStdString();
}

TEST(LogTest, DotsContinueThePreviousLine) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log");
    QCoreApplication::setApplicationName("webgated");
    Log log(path, 5, true);
    log.log("waiting", 0);
    for (int i = 0; i < 3; ++i) log.log(".", 0);
    log.log("next", 0);
    const QString text = readAll(path);
    EXPECT_TRUE(QRegularExpression("^" + kStamp + "webgated started\n" + kStamp + "waiting\\.\\.\\.\n" + kStamp + "next$")
                    .match(text)
                    .hasMatch())
        << text.toStdString();
}

TEST(LogTest, LinesFromAnotherThreadArriveInOrderAndOnlyWhenLevelAllows) {
    QTemporaryDir dir;
    const QString path = dir.filePath("log");
    Log log(path, 2, true);
    std::thread worker([&log] {
        for (int i = 0; i < 50; ++i) log.log(QString("line %1").arg(i), 2);
        log.log("too detailed", 3);
    });
    worker.join();
    // Nothing is written until the log's own thread handles the posted lines.
    EXPECT_FALSE(readAll(path).contains("line 0"));
    log.flush();
    const QString text = readAll(path);
    QStringList seen;
    QStringList expected;
    for (const QString& line : text.split('\n')) {
        const int at = line.indexOf("line ");
        if (at >= 0) seen << line.mid(at);
    }
    for (int i = 0; i < 50; ++i) expected << QString("line %1").arg(i);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(text.contains("too detailed"));
}

TEST(UdpLoggerTest, SendsOnlyWhenEnabledAndLevelAllows) {
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    UdpLogger* udp = UdpLogger::Singleton();
    EXPECT_EQ(udp, UdpLogger::Singleton());
    udp->setIP("127.0.0.1");
    udp->setPort(receiver.localPort());
    udp->setVerbosity(2);

    udp->sendMsg("while off", 0);
    udp->setEnabled(true);
    udp->sendMsg("level three", 3);
    udp->sendMsg("level one", 1);
    std::thread worker([udp] { udp->broadcastLog("from a thread", 2); });
    worker.join();

    QList<QByteArray> received;
    testsupport::waitFor(
        [&] {
            while (receiver.hasPendingDatagrams()) {
                QByteArray datagram(int(receiver.pendingDatagramSize()), 0);
                receiver.readDatagram(datagram.data(), datagram.size());
                received << datagram;
            }
            return received.size() >= 2;
        },
        5000);
    testsupport::spin(100);
    while (receiver.hasPendingDatagrams()) {
        QByteArray datagram(int(receiver.pendingDatagramSize()), 0);
        receiver.readDatagram(datagram.data(), datagram.size());
        received << datagram;
    }
    EXPECT_EQ(received, (QList<QByteArray>{"level one", "from a thread"}));
    udp->setEnabled(false);
}

}  // namespace
