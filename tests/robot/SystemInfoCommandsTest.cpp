// Menu switches, version, installed packages and debug messages, through the daemon's table.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <cstdlib>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Wait.h"
#include "frame/SystemInfoCommands.h"

using testsupport::DaemonEnvironment;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }

QByteArray dump(const json_t* value) { return jsonDump(value, JSON_COMPACT | JSON_ENCODE_ANY); }

QByteArray field(const json_t* reply, const char* key) {
    const json_t* value = json_object_get(reply, key);
    if (!value) return "<none>";
    return json_is_string(value) ? QByteArray(json_string_value(value)) : dump(value);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray dataFile(const QString& name) {
    return readFile(testsupport::sourceDir() + QStringLiteral("/tests/data/sysinfo/") + name);
}

// Points PATH at one directory for the lifetime of the object.
class PathOverride {
public:
    explicit PathOverride(const QString& dir) : m_old(qgetenv("PATH")) {
        qputenv("PATH", QFile::encodeName(dir));
    }
    ~PathOverride() { qputenv("PATH", m_old); }

private:
    QByteArray m_old;
};

TEST(GetMenuItemsTest, ReadsTheSwitchesAtEveryRequest) {
    env().setConfig(QByteArray());
    JsonPtr reply = env().requestJson("{\"TYPE\":\"getMenuItems\"}");
    EXPECT_EQ(field(reply.get(), "TYPE"), "DATA");
    EXPECT_EQ(field(reply.get(), "DATA"),
              "[{\"name\":\"Update\",\"sts\":0},{\"name\":\"Map\",\"sts\":0}]");

    env().setConfig("[Menu]\nupdateItem=true\n");
    reply = env().requestJson("{\"TYPE\":\"getMenuItems\"}");
    EXPECT_EQ(field(reply.get(), "DATA"),
              "[{\"name\":\"Update\",\"sts\":1},{\"name\":\"Map\",\"sts\":0}]");

    // The user file wins over the system file.
    env().setConfig("[Menu]\nupdateItem=true\nfactory4Item=false\n",
                    "[Menu]\nupdateItem=false\nfactory4Item=true\n");
    reply = env().requestJson("{\"TYPE\":\"getMenuItems\"}");
    EXPECT_EQ(field(reply.get(), "DATA"),
              "[{\"name\":\"Update\",\"sts\":0},{\"name\":\"Map\",\"sts\":1}]");
    env().setConfig(QByteArray());
}

TEST(GetVersionTest, RepliesTheFirstLineOfTheVersionFile) {
    const QString file = env().path(QStringLiteral("/version.txt"));
    QFile::remove(file);
    JsonPtr reply = env().requestJson("{\"TYPE\":\"getVersion\"}");
    EXPECT_EQ(dump(reply.get()), "{\"TYPE\":\"ERR\"}");

    writeFile(file, "");
    reply = env().requestJson("{\"TYPE\":\"getVersion\"}");
    EXPECT_EQ(dump(reply.get()), "{\"TYPE\":\"ACK\"}");

    struct Case {
        QByteArray content;
        QByteArray version;
    };
    const Case cases[] = {
        {"3.1.4-2\n", "3.1.4-2"},
        {"3.1.4-2", "3.1.4-2"},
        {"3.1.4-2\r\nbuilt 2024-05-01\n", "3.1.4-2"},
        {"\nsecond\n", ""},
        {"v2 \xc3\xa4/\"x\"\n", "v2 \xc3\xa4/\"x\""},
    };
    for (const Case& c : cases) {
        writeFile(file, c.content);
        reply = env().requestJson("{\"TYPE\":\"getVersion\"}");
        EXPECT_EQ(field(reply.get(), "TYPE"), "DATA") << c.content.constData();
        EXPECT_EQ(field(reply.get(), "DATA"), c.version) << c.content.constData();
    }
    QFile::remove(file);
}

TEST(PackageListingTest, TakesRecordsAfterTheSeparatorOnly) {
    const QByteArray listing = dataFile(QStringLiteral("dpkg-l.txt"));
    ASSERT_FALSE(listing.isEmpty());
    const JsonPtr records = SystemInfoCommands::parsePackageListing(listing);
    ASSERT_TRUE(json_is_array(records.get()));
    // Five lines of legend, titles and separator; every line after them is one package.
    const int packageLines = listing.count('\n') - 5;
    ASSERT_EQ(static_cast<int>(json_array_size(records.get())), packageLines);
    EXPECT_EQ(dump(json_array_get(records.get(), 0)),
              "{\"sts\":\"ii\",\"nme\":\"adduser\",\"ver\":\"3.134\"}");
    EXPECT_EQ(dump(json_array_get(records.get(), packageLines - 1)),
              "{\"sts\":\"ii\",\"nme\":\"libluajit-5.1-2:amd64\",\"ver\":\"2.1.0~beta3+git20220320+"
              "dfsg-4.1+deb12u1\"}");
    for (size_t i = 0; i < json_array_size(records.get()); ++i) {
        const json_t* record = json_array_get(records.get(), i);
        EXPECT_EQ(json_object_size(record), 3u);
        EXPECT_EQ(field(record, "sts"), "ii") << dump(record).constData();
    }

    // Windows line ends, blank lines and short lines after the separator add nothing.
    QByteArray crlf = listing;
    crlf.replace("\n", "\r\n");
    crlf += "\r\n\r\nii  onlyname\r\n";
    EXPECT_EQ(dump(SystemInfoCommands::parsePackageListing(crlf).get()), dump(records.get()));

    // Without the separator nothing is a record, not even the legend and titles.
    QByteArray noSeparator = listing;
    noSeparator.remove(noSeparator.indexOf("+++-"), 4);
    EXPECT_EQ(dump(SystemInfoCommands::parsePackageListing(noSeparator).get()), "[]");
    EXPECT_EQ(dump(SystemInfoCommands::parsePackageListing(QByteArray()).get()), "[]");
    // A separator with a different lead-in is not the separator.
    EXPECT_EQ(dump(SystemInfoCommands::parsePackageListing("++++-===\nii a 1\n").get()), "[]");
}

TEST(UpdateCheckTest, ListsThisMachinesPackagesAndKeepsThemInTheFile) {
    const QString listFile = env().path(QStringLiteral("/var/www/updlist.vnt"));
    QFile::remove(listFile);
    const JsonPtr reply = env().requestJson("{\"TYPE\":\"updateCheck\"}");
    ASSERT_TRUE(reply);
    EXPECT_EQ(field(reply.get(), "TYPE"), "ACK");
    const json_t* data = json_object_get(reply.get(), "DATA");
    ASSERT_TRUE(json_is_array(data));
    EXPECT_GT(json_array_size(data), 10u);

    // The file holds the same list, in the JSON library's default layout.
    const QByteArray content = readFile(listFile);
    EXPECT_TRUE(content.startsWith("[{\"sts\": \"")) << content.left(40).constData();
    const JsonPtr fromFile(json_loads(content.constData(), 0, nullptr));
    ASSERT_TRUE(fromFile);
    EXPECT_TRUE(json_equal(fromFile.get(), data));

    // dpkg's own record carries the version dpkg-query reports.
    QProcess query;
    query.start(QStringLiteral("dpkg-query"),
                {QStringLiteral("-W"), QStringLiteral("-f=${Version}"), QStringLiteral("dpkg")});
    ASSERT_TRUE(query.waitForFinished(30000));
    const QByteArray dpkgVersion = query.readAllStandardOutput().trimmed();
    bool found = false;
    for (size_t i = 0; i < json_array_size(data); ++i) {
        const json_t* record = json_array_get(data, i);
        if (field(record, "nme") == "dpkg") {
            found = true;
            EXPECT_EQ(field(record, "ver"), dpkgVersion);
            EXPECT_EQ(field(record, "sts"), "ii");
        }
        EXPECT_NE(field(record, "nme"), "Name");
    }
    EXPECT_TRUE(found);
}

TEST(UpdateCheckTest, FailsAndKeepsTheOldListWhenDpkgFailsOrIsMissing) {
    const QString listFile = env().path(QStringLiteral("/var/www/updlist.vnt"));
    writeFile(listFile, "[{\"sts\": \"ii\", \"nme\": \"old\", \"ver\": \"1\"}]");

    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    {
        PathOverride path(bin.path());
        const JsonPtr reply = env().requestJson("{\"TYPE\":\"updateCheck\"}");
        EXPECT_EQ(dump(reply.get()), "{\"TYPE\":\"ERR\"}");
    }
    EXPECT_EQ(readFile(listFile), "[{\"sts\": \"ii\", \"nme\": \"old\", \"ver\": \"1\"}]");

    ASSERT_TRUE(QFile::link(QStringLiteral("/bin/false"), bin.path() + QStringLiteral("/dpkg")));
    {
        PathOverride path(bin.path());
        const JsonPtr reply = env().requestJson("{\"TYPE\":\"updateCheck\"}");
        EXPECT_EQ(dump(reply.get()), "{\"TYPE\":\"ERR\"}");
    }
    EXPECT_EQ(readFile(listFile), "[{\"sts\": \"ii\", \"nme\": \"old\", \"ver\": \"1\"}]");
    EXPECT_TRUE(env().logText().contains(QStringLiteral("ERROR: {\"TYPE\":\"updateCheck\"}")));
}

TEST(SendDebugMessageTest, RejectsAbsentAndNonTextMessages) {
    EXPECT_EQ(field(env().requestJson("{\"TYPE\":\"sendDebugMessage\"}").get(), "MSG"),
              "MISSING PARAMETER(S)");
    for (const char* value : {"42", "null", "[\"a\"]", "{}", "true"}) {
        const QByteArray query =
            QByteArray("{\"TYPE\":\"sendDebugMessage\",\"message\":") + value + "}";
        EXPECT_EQ(field(env().requestJson(query).get(), "MSG"), "INVALID PARAMETER(S)") << value;
    }
}

TEST(SendDebugMessageTest, DeliversHostileMessagesByteForByte) {
    QTcpServer service;
    if (!service.listen(QHostAddress::LocalHost, SystemInfoCommands::kDebugServicePort)) {
        GTEST_SKIP() << "port 2000 is taken on this machine: "
                     << service.errorString().toStdString();
    }
    const QString marker = env().path(QStringLiteral("/shell-ran"));
    const QList<QByteArray> messages = {
        "plain text",
        "\"; touch " + QFile::encodeName(marker) + "; echo \"",
        "$(touch " + QFile::encodeName(marker) + ")",
        "`touch " + QFile::encodeName(marker) + "`",
        "back\\slash \\\" and \\n",
        "-n -e first\nsecond\r\n",
        "' single ' | cat > /dev/null &",
        "\xc3\xbcn\xc3\xaf"
        "c\xc3\xb6"
        "de \xe2\x9c\x93 100%",
        "",
        QByteArray(60000, 'x'),
    };
    for (const QByteArray& message : messages) {
        SCOPED_TRACE(message.left(40).constData());
        JsonPtr request(json_object());
        json_object_set_new(request.get(), "TYPE", json_string("sendDebugMessage"));
        json_object_set_new(request.get(), "message",
                            json_stringn(message.constData(), message.size()));
        const JsonPtr reply = env().requestJson(jsonDump(request.get(), JSON_COMPACT));
        EXPECT_EQ(dump(reply.get()), "{\"TYPE\":\"ACK\"}");

        ASSERT_TRUE(testsupport::waitFor([&] { return service.hasPendingConnections(); }));
        std::unique_ptr<QTcpSocket> peer(service.nextPendingConnection());
        QByteArray received = peer->readAll();
        testsupport::waitFor([&] {
            received += peer->readAll();
            return peer->state() == QAbstractSocket::UnconnectedState &&
                   peer->bytesAvailable() == 0;
        });
        received += peer->readAll();
        EXPECT_EQ(received.size(), message.size());
        EXPECT_TRUE(received == message);
        EXPECT_FALSE(service.hasPendingConnections());
    }
    EXPECT_FALSE(QFile::exists(marker));
}

TEST(SendDebugMessageTest, AcknowledgesPromptlyWhenNothingListens) {
    const quint16 port = testsupport::freePort();
    JsonPtr parsed(json_loads("{\"message\":\"nobody hears this\"}", 0, nullptr));
    JsonPtr reply(json_object());
    Request request(parsed.get(), reply.get());
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(SystemInfoCommands::sendDebugMessage(request, port), Ack);
    EXPECT_LT(clock.elapsed(), 3000);
}

}  // namespace
