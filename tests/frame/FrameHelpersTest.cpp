// File names, the file-system root, text conversion and the start-up work of Fcgi.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
