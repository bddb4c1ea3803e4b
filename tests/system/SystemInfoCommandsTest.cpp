// Menu switches, version, installed packages and debug messages, through the daemon's table.
#include <gtest/gtest.h>

#include <QFile>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <memory>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Wait.h"
#include "system/SystemInfoCommands.h"

using namespace testsupport;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }

TEST(SystemInfoCommandsTest, MenuAndVersionReplies) {
    const auto menu = [](const char* update, const char* map) {
        return QByteArray(R"({"DATA":[{"name":"Update","sts":)") + update + R"(},{"name":"Map","sts":)" + map +
               R"(}],"TYPE":"DATA"})";
    };
    // The user file wins over the system file.
    for (const auto& [systemIni, userIni, reply] :
         {std::tuple("", "", menu("0", "0")), {"[Menu]\nupdateItem=true\n", "", menu("1", "0")},
          {"[Menu]\nupdateItem=true\nfactory4Item=false\n", "[Menu]\nupdateItem=false\nfactory4Item=true\n",
           menu("0", "1")}}) {
        env().setConfig(systemIni, userIni);
        EXPECT_EQ(env().reply(R"({"TYPE":"getMenuItems"})"), reply) << systemIni;
    }
    env().setConfig("");
    const QString versionFile = env().path("/version.txt");
    for (const auto& [content, reply] :  // no content: no file
         {std::pair<const char*, QByteArray>(nullptr, R"({"TYPE":"ERR"})"), {"", R"({"TYPE":"ACK"})"},
          {"3.1.4-2", R"({"DATA":"3.1.4-2","TYPE":"DATA"})"},
          {"3.1.4-2\r\nbuilt 2024-05-01\n", R"({"DATA":"3.1.4-2","TYPE":"DATA"})"},
          {"\nsecond\n", R"({"DATA":"","TYPE":"DATA"})"},
          {"v2 \xc3\xa4/\"x\"\n", "{\"DATA\":\"v2 \xc3\xa4\\/\\\"x\\\"\",\"TYPE\":\"DATA\"}"}}) {
        QFile::remove(versionFile);
        EXPECT_TRUE(!content || writeFile(versionFile, content));
        EXPECT_EQ(env().reply(R"({"TYPE":"getVersion"})"), reply) << (content ? content : "no file");
    }
}

TEST(SystemInfoCommandsTest, PackageListingTakesRecordsAfterTheSeparatorOnly) {
    const QByteArray listing = sourceFile("tests/data/sysinfo/dpkg-l.txt");
    const JsonPtr records = SystemInfoCommands::parsePackageListing(listing);
    const size_t count = json_array_size(records.get());
    // Five lines of legend, titles and separator; every line after them is one package.
    ASSERT_EQ(int(count), listing.count('\n') - 5);
    EXPECT_EQ(jsonDump(json_array_get(records.get(), 0), JSON_COMPACT), R"({"sts":"ii","nme":"adduser","ver":"3.134"})");
    EXPECT_EQ(jsonDump(json_array_get(records.get(), count - 1), JSON_COMPACT),
              R"({"sts":"ii","nme":"libluajit-5.1-2:amd64","ver":"2.1.0~beta3+git20220320+dfsg-4.1+deb12u1"})");
    // Windows line ends, blank lines and short lines after the separator add nothing.
    QByteArray crlf = listing;
    crlf.replace("\n", "\r\n");
    EXPECT_TRUE(json_equal(SystemInfoCommands::parsePackageListing(crlf + "\r\n\r\nii  onlyname\r\n").get(), records.get()));
    // Without the separator, or with another lead-in, nothing is a record.
    QByteArray noSeparator = listing;
    noSeparator.remove(noSeparator.indexOf("+++-"), 4);
    for (const QByteArray& text : {noSeparator, QByteArray(), QByteArray("++++-===\nii a 1\n")}) {
        EXPECT_EQ(json_array_size(SystemInfoCommands::parsePackageListing(text).get()), 0u);
    }
}

TEST(SystemInfoCommandsTest, UpdateCheckKeepsTheListInTheFileAndTheOldListWhenDpkgFails) {
    const QString listFile = env().path("/var/www/updlist.vnt");
    QFile::remove(listFile);
    const JsonPtr reply = env().requestJson(R"({"TYPE":"updateCheck"})");
    EXPECT_EQ(field(reply.get(), "TYPE"), "\"ACK\"");
    const json_t* data = json_object_get(reply.get(), "DATA");
    EXPECT_GT(json_array_size(data), 10u);  // this machine's packages
    // The file holds the same list, in the JSON library's default layout.
    const QByteArray content = readFile(listFile);
    EXPECT_TRUE(content.startsWith("[{\"sts\": \"") && json_equal(JsonPtr(json_loads(content, 0, nullptr)).get(), data))
        << content.left(40).constData();

    const QByteArray old = R"([{"sts": "ii", "nme": "old", "ver": "1"}])";
    ASSERT_TRUE(writeFile(listFile, old));
    QTemporaryDir bin;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()));
    EXPECT_EQ(env().reply(R"({"TYPE":"updateCheck"})"), R"({"TYPE":"ERR"})");  // no dpkg
    ASSERT_TRUE(QFile::link("/bin/false", bin.path() + "/dpkg"));
    EXPECT_EQ(env().reply(R"({"TYPE":"updateCheck"})"), R"({"TYPE":"ERR"})");  // dpkg fails
    qputenv("PATH", path);
    EXPECT_EQ(readFile(listFile), old);
}

TEST(SystemInfoCommandsTest, DebugMessagesAreCheckedAndDeliveredByteForByteWithoutAShell) {
    EXPECT_EQ(env().reply(R"({"TYPE":"sendDebugMessage"})"), kReplyMissing);
    for (const char* value : {"42", "null", "[\"a\"]", "{}", "true"}) {
        EXPECT_EQ(env().reply(QByteArray(R"({"TYPE":"sendDebugMessage","message":)") + value + "}"), kReplyInvalid) << value;
    }
    // Nobody listening: acknowledged all the same.
    const quint16 port = freePort();
    const auto unheard = [&](Request& r) { return SystemInfoCommands::sendDebugMessage(r, port); };
    EXPECT_EQ(callCommand(R"({"message":"x"})", unheard).result, Ack);

    QTcpServer service;
    if (!service.listen(QHostAddress::LocalHost, SystemInfoCommands::kDebugServicePort)) {
        GTEST_SKIP() << "port 2000 is taken on this machine: " << service.errorString().toStdString();
    }
    const QByteArray marker = QFile::encodeName(env().path("/shell-ran"));
    for (const QByteArray& message :
         {QByteArray("plain text"), "\"; touch " + marker + "; echo \"", "$(touch " + marker + ")",
          "`touch " + marker + "`", QByteArray("back\\slash \\\" and \\n"), QByteArray("-n -e first\nsecond\r\n"),
          QByteArray("' single ' | cat > /dev/null &"), QByteArray("\xc3\xbcn\xc3\xaf\xe2\x9c\x93 100%"), QByteArray(),
          QByteArray(60000, 'x')}) {
        SCOPED_TRACE(message.left(40).constData());
        JsonPtr request(json_pack("{s:s, s:s#}", "TYPE", "sendDebugMessage", "message", message.constData(),
                                  size_t(message.size())));
        EXPECT_EQ(env().reply(jsonDump(request.get(), JSON_COMPACT)), R"({"TYPE":"ACK"})");
        ASSERT_TRUE(waitFor([&] { return service.hasPendingConnections(); }));
        std::unique_ptr<QTcpSocket> peer(service.nextPendingConnection());
        QByteArray received;
        waitFor([&] {
            received += peer->readAll();
            return peer->state() == QAbstractSocket::UnconnectedState && peer->bytesAvailable() == 0;
        });
        EXPECT_TRUE(received + peer->readAll() == message);
    }
    EXPECT_FALSE(QFile::exists(QFile::decodeName(marker)));
}

}  // namespace
