// File names, the file-system root, text conversion and the start-up work of Fcgi.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cfloat>
#include <cstdint>
#include <cmath>
#include <random>
#include <string>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "frame/FsRoot.h"
#include "frame/Json.h"

using testsupport::DaemonEnvironment;

namespace {

TEST(FcgiTest, AcceptsOnlyPlainFileNames) {
    Fcgi& fcgi = DaemonEnvironment::instance().fcgi();
    for (const char* good : {"a", "prog_1.rvw", "A-b.c", "...", "x.y.z-1_2"}) {
        EXPECT_TRUE(fcgi.isValidFilename(QString::fromUtf8(good))) << good;
    }
    for (const char* bad : {"", "a b", "a/b", "../x", "a\n", "a\nb", "ä", "a;rm", "$(x)", "a*", "a\\b"}) {
        EXPECT_FALSE(fcgi.isValidFilename(QString::fromUtf8(bad))) << bad;
    }
}

TEST(FsRootTest, RelocatesAbsolutePathsOnly) {
    const QString root = DaemonEnvironment::instance().root();
    EXPECT_EQ(FsRoot::prefix(), root);
    EXPECT_EQ(FsRoot::fsPath("/etc/hostapd.conf"), root + "/etc/hostapd.conf");
    EXPECT_EQ(FsRoot::fsPath("./resources/nocam.png"), "./resources/nocam.png");
    EXPECT_EQ(FsRoot::robotPath(root + "/var/www/programs"), "/var/www/programs");
    EXPECT_EQ(FsRoot::robotPath("/elsewhere/x"), "/elsewhere/x");
    // A sibling directory that merely starts with the same text is not inside the root.
    EXPECT_EQ(FsRoot::robotPath(root + "x/y"), root + "x/y");
}

TEST(JsonTextTest, KeepsTextAbove127) {
    const QString text = QString::fromUtf8("Grüße ✓ \"q\" /");
    JsonPtr value(jsonFromQString(text));
    EXPECT_EQ(jsonToQString(value.get()), text);
    EXPECT_EQ(jsonDump(value.get(), JSON_ENCODE_ANY | 0x420), QByteArray("\"Gr\xc3\xbc\xc3\x9f" "e \xe2\x9c\x93 \\\"q\\\" \\/\""));
    JsonPtr number(json_integer(3));
    EXPECT_TRUE(jsonToQString(number.get()).isNull());
    EXPECT_TRUE(jsonToQString(nullptr).isNull());
}

// Random documents of every kind of value the replies hold.
json_t* randomValue(std::mt19937& random, int depth) {
    static const double kReals[] = {0.0, -0.0, 0.1, 1.5, -2.5e-300, 1e20, 1e21, 1e-7, 123456789012345678.0,
                                    DBL_MAX, DBL_MIN, 5e-324, 62.726, 1.0 / 3.0, 100000.0, -1e100};
    static const long long kIntegers[] = {0, 1, -1, 100000, INT64_MAX, INT64_MIN};
    switch (random() % (depth > 3 ? 5 : 7)) {
        case 0: return json_real(kReals[random() % (sizeof(kReals) / sizeof(*kReals))]);
        case 1: return json_real(std::ldexp(double(random()) - 2147483648.0, int(random() % 200) - 100));
        case 2: return json_integer(random() % 2 ? kIntegers[random() % 6] : (long long)(random()) - 99999);
        case 3: {
            std::string text;
            const int length = int(random() % 12);
            for (int i = 0; i < length; ++i) {
                const char pick[] = {'a', '/', '"', '\\', '\n', '\t', '\b', '\f', '\r', '\x01', '\x1f', '\x7f', ' ', '%'};
                text += pick[random() % sizeof(pick)];
            }
            if (random() % 3 == 0) text += "\xc3\xbc\xe2\x9c\x93\xf0\x9f\x98\x80";
            return json_stringn(text.data(), text.size());
        }
        case 4: return random() % 3 == 0 ? json_null() : json_boolean(random() % 2);
        case 5: {
            json_t* array = json_array();
            const int size = int(random() % 4);
            for (int i = 0; i < size; ++i) json_array_append_new(array, randomValue(random, depth + 1));
            return array;
        }
        default: {
            json_t* object = json_object();
            const int size = int(random() % 5);
            for (int i = 0; i < size; ++i) {
                const std::string key = "k/" + std::to_string(random() % 50) + (i % 2 ? "\"" : "");
                json_object_set_new(object, key.c_str(), randomValue(random, depth + 1));
            }
            return object;
        }
    }
}

TEST(JsonTextTest, CompactWriterMatchesTheLibrarysOwnText) {
    std::mt19937 random(20261206);
    for (int i = 0; i < 3000; ++i) {
        JsonPtr document(json_object());
        json_object_set_new(document.get(), "value", randomValue(random, 0));
        ASSERT_EQ(jsonDumpCompact(document.get()), jsonDump(document.get(), 0x420)) << i;
    }
}

TEST(FcgiTest, PreparesTheProgramStoreAndItsLink) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    env.fcgi();  // the first construction made the folder and the link
    const QString programs = env.path("/home/corvanta/programs");
    const QString link = env.path("/var/www/programs");
    EXPECT_TRUE(QFileInfo(programs).isDir());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), programs);
    EXPECT_EQ(QFileInfo(programs).permissions() & QFileDevice::WriteOther, QFileDevice::WriteOther);

    // A second start replaces the link, also one left dangling; a file in the way is reported.
    env.setConfig("[Flowdesk]\nprogrampath=/home/corvanta/moved\n");
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(env.path("/nowhere"), link));
    env.clearLog();
    { Fcgi second; }
    QString log = env.logText();
    EXPECT_TRUE(log.contains("Symbolic /var/www/programs already exists. Will delete it and create a new one."));
    EXPECT_FALSE(log.contains("ERROR"));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/moved"));

    QFile plain(env.path("/home/corvanta/plainfile"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    env.setConfig("[Flowdesk]\nprogrampath=/home/corvanta/plainfile\n");
    env.clearLog();
    { Fcgi third; }
    log = env.logText();
    EXPECT_TRUE(log.contains("ERROR: /home/corvanta/plainfile already exists and is not a folder!")) << log.toStdString();
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/plainfile"));
    env.setConfig("");
}

}  // namespace
