// What Fcgi checks and prepares at start: plain file names, the program store and its link.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"

using testsupport::DaemonEnvironment;

namespace {

TEST(FcgiTest, AcceptsOnlyPlainFileNames) {
    Fcgi& fcgi = DaemonEnvironment::instance().fcgi();
    for (const char* good : {"a", "prog_1.rvw", "A-b.c", "...", "x.y.z-1_2"}) {
        EXPECT_TRUE(fcgi.isValidFilename(QString::fromUtf8(good))) << good;
    }
    for (const char* bad : {"", "a b", "a/b", "../x", "a\n", "ä", "a;rm", "$(x)", "a*", "a\\b"}) {
        EXPECT_FALSE(fcgi.isValidFilename(QString::fromUtf8(bad))) << bad;
    }
}

TEST(FcgiTest, PreparesTheProgramStoreAndItsLink) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    env.fcgi();  // the first construction made the folder and the link
    const QString link = env.path("/var/www/programs");
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/programs"));
    // Everyone may store programs; only an entry's owner may rename or delete it (sticky bit).
    const auto mode = [&](const char* path) { return testsupport::fileMode(env.path(path)); };
    EXPECT_EQ(mode("/home/corvanta/programs"), 01777u);

    // A second start replaces the link, also one left dangling.
    env.setConfig("[Flowdesk]\nprogrampath=/home/corvanta/moved\n");
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(env.path("/nowhere"), link));
    const QString log = env.logOf(100, [] { Fcgi second{CommandTable()}; });
    EXPECT_FALSE(log.contains("ERROR"));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/moved"));
    EXPECT_EQ(mode("/home/corvanta/moved"), 01777u);

    // A link planted at the store's own name does not hand its target the store's mode.
    env.setConfig("[Flowdesk]\nprogrampath=/home/corvanta/linked\n");
    ASSERT_TRUE(QDir().mkpath(env.path("/etc/cron.d")));
    ASSERT_EQ(::chmod(QFile::encodeName(env.path("/etc/cron.d")).constData(), 0755), 0);
    ASSERT_TRUE(QFile::link(env.path("/etc/cron.d"), env.path("/home/corvanta/linked")));
    EXPECT_TRUE(env.logOf(0, [] { Fcgi third{CommandTable()}; })
                    .contains("ERROR: Cannot set the mode of /home/corvanta/linked"));
    EXPECT_EQ(mode("/etc/cron.d"), 0755u);

    env.setConfig("");
}

}  // namespace
