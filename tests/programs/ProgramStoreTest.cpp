// The program store: plain file names only, and what it prepares at start: the folder, its mode
// and the link the web server serves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "programs/ProgramStore.h"

using testsupport::DaemonEnvironment;

namespace {

TEST(ProgramStoreTest, AcceptsOnlyPlainFileNames) {
    for (const char* good : {"a", "prog_1.rvw", "A-b.c", "...", "x.y.z-1_2"}) {
        EXPECT_TRUE(ProgramStore::isValidFileName(QString::fromUtf8(good))) << good;
    }
    for (const char* bad : {"", "a b", "a/b", "../x", "a\n", "ä", "a;rm", "$(x)", "a*", "a\\b"}) {
        EXPECT_FALSE(ProgramStore::isValidFileName(QString::fromUtf8(bad))) << bad;
    }
}

TEST(ProgramStoreTest, PreparesTheFolderItsModeAndItsLink) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    env.fcgi();  // the daemon prepared the store at start
    const QString link = env.path("/var/www/programs");
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/programs"));
    // Everyone may store programs; only an entry's owner may rename or delete it (sticky bit).
    const auto mode = [&](const char* path) { return testsupport::fileMode(env.path(path)); };
    EXPECT_EQ(mode("/home/corvanta/programs"), 01777u);

    // A second start replaces the link, also one left dangling.
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(env.path("/nowhere"), link));
    const QString log = env.logOf(100, [] { ProgramStore().prepare(QStringLiteral("/home/corvanta/moved")); });
    EXPECT_FALSE(log.contains("ERROR"));
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), env.path("/home/corvanta/moved"));
    EXPECT_EQ(mode("/home/corvanta/moved"), 01777u);

    // A link planted at the store's own name does not hand its target the store's mode.
    ASSERT_TRUE(QDir().mkpath(env.path("/etc/cron.d")));
    ASSERT_EQ(::chmod(QFile::encodeName(env.path("/etc/cron.d")).constData(), 0755), 0);
    ASSERT_TRUE(QFile::link(env.path("/etc/cron.d"), env.path("/home/corvanta/linked")));
    EXPECT_TRUE(env.logOf(0, [] { ProgramStore().prepare(QStringLiteral("/home/corvanta/linked")); })
                    .contains("ERROR: Cannot set the mode of /home/corvanta/linked"));
    EXPECT_EQ(mode("/etc/cron.d"), 0755u);
}

}  // namespace
