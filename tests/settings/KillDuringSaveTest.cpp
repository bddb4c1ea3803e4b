// The replacement of a configuration file is atomic: a saving process killed at any moment
// leaves the old or the new file, whole.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <random>

#include "E2e.h"

namespace {

QByteArray fileWith(const char* value) {
    // Large enough that a write takes a while: kills land inside it.
    QByteArray text = "# header\n[S]\nvalue=" + QByteArray(value) + "\n";
    for (int i = 0; i < 4000; ++i) text += "# padding line " + QByteArray::number(i) + " of the file\n";
    return text;
}

TEST(KillDuringSaveTest, AlwaysFindsTheOldOrTheNewFileWhole) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.conf"));
    const QByteArray states[] = {fileWith("0"), fileWith("even"), fileWith("odd")};
    const QString helper = testsupport::binaryDir() + QStringLiteral("/tests/settings_save_loop");
    std::mt19937 random(12345);
    int killedAfterStart = 0;
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(testsupport::writeFile(path, states[0]));
        QProcess saver;
        saver.start(helper, {path});
        ASSERT_TRUE(saver.waitForStarted(10000));
        ASSERT_TRUE(saver.waitForReadyRead(10000));  // "saving": the loop begins
        QThread::usleep(std::uniform_int_distribution<unsigned>(0, 20000)(random));  // a random moment
        ::kill(static_cast<pid_t>(saver.processId()), SIGKILL);
        ASSERT_TRUE(saver.waitForFinished(10000));
        ASSERT_EQ(saver.exitStatus(), QProcess::CrashExit) << "the saver ended by itself";
        const QByteArray text = testsupport::readFile(path);
        const bool whole = text == states[0] || text == states[1] || text == states[2];
        ASSERT_TRUE(whole) << "round " << round << ": " << text.size() << " bytes";
        if (text != states[0]) ++killedAfterStart;
        // Only hidden temporary files may be left beside it; no scan lists them.
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.conf")});
    }
    EXPECT_GT(killedAfterStart, 0);  // some kills came after saves had been made
}

}  // namespace
