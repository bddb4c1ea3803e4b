// The log file is bounded: past its limit it becomes the ".1" file and a new one starts; a file
// moved or removed by someone else (logrotate) is started anew at the log's path.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "E2e.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;
using testsupport::readFile;

namespace {

// Only `text`, as a whole time-stamped line.
bool isOnlyLine(const QByteArray& file, const char* text) {
    return QRegularExpression(
               QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \\| %1\n$").arg(text))
        .match(QString::fromLatin1(file))
        .hasMatch();
}

TEST(LogBoundTest, AFullFileMovesToDotOneAndAMovedOrRemovedFileStartsAnew) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("webgated"));
    const QString dotOne = path + QStringLiteral(".1");
    ASSERT_TRUE(testsupport::writeFile(dotOne, "an older rotation\n"));
    QCoreApplication::setApplicationName(QStringLiteral("webgated"));
    Log log(path, 0, true);
    const QString chunk(256 * 1024, QLatin1Char('x'));
    while (QFileInfo(path).size() + chunk.size() <= Log::kMaxFileSize) {
        log.log(chunk, 0);
        ASSERT_TRUE(log.flush());
    }
    EXPECT_EQ(readFile(dotOne), "an older rotation\n");
    log.log(chunk, 0);  // crosses the limit
    log.log(QStringLiteral("first of the new file"), 0);
    ASSERT_TRUE(log.flush());
    EXPECT_GT(QFileInfo(dotOne).size(), Log::kMaxFileSize);
    EXPECT_TRUE(isOnlyLine(readFile(path), "first of the new file"))
        << readFile(path).left(200).constData();

    ASSERT_TRUE(QFile::rename(path, path + QStringLiteral(".moved")));
    log.log(QStringLiteral("after the move"), 0);
    ASSERT_TRUE(log.flush());
    EXPECT_TRUE(isOnlyLine(readFile(path), "after the move"));
    EXPECT_TRUE(isOnlyLine(readFile(path + QStringLiteral(".moved")), "first of the new file"));

    ASSERT_TRUE(QFile::remove(path));
    log.log(QStringLiteral("after the removal"), 0);
    ASSERT_TRUE(log.flush());
    EXPECT_TRUE(isOnlyLine(readFile(path), "after the removal"));
}

}  // namespace
