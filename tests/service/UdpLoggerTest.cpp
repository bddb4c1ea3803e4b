#include <gtest/gtest.h>

#include <QUdpSocket>

#include "Wait.h"
#include "service/UdpLogger.h"

namespace {

// The UDP log channel: one datagram per message at or below its verbosity, only while it is on.
TEST(UdpLoggerTest, SendsWhatIsAtOrBelowTheVerbosityOnlyWhileOn) {
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress::LocalHost, 0));
    UdpLogger* udp = UdpLogger::Singleton();
    udp->setIP(QStringLiteral("127.0.0.1"));
    udp->setPort(receiver.localPort());
    udp->setVerbosity(1);
    udp->setEnabled(false);
    udp->sendMsg(QStringLiteral("off"), 0);
    udp->setEnabled(true);
    for (const auto& [text, level] : {std::pair("above", 2), {"level 0", 0}, {"at the verbosity", 1}})
        udp->sendMsg(QString::fromLatin1(text), level);  // the last: nothing else comes before it
    QList<QByteArray> received;
    testsupport::waitFor([&] {
        while (receiver.hasPendingDatagrams()) {
            QByteArray datagram(static_cast<int>(receiver.pendingDatagramSize()), '\0');
            receiver.readDatagram(datagram.data(), datagram.size());
            received.append(datagram);
        }
        return received.contains("at the verbosity");
    });
    udp->setEnabled(false);
    EXPECT_EQ(received, QList<QByteArray>({"level 0", "at the verbosity"}));
}

}  // namespace
