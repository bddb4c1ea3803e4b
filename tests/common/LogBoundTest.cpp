// The log file is bounded: past its limit it becomes the ".1" file and a new one starts.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include "E2e.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

TEST(LogBoundTest, AFullFileMovesToDotOneAndANewOneStarts) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("webgated"));
    ASSERT_TRUE(testsupport::writeFile(path + QStringLiteral(".1"), "an older rotation\n"));
    QCoreApplication::setApplicationName(QStringLiteral("webgated"));
    Log log(path, 0, true);
    const QString chunk(256 * 1024, QLatin1Char('x'));
    while (QFileInfo(path).size() + chunk.size() <= Log::kMaxFileSize) log.log(chunk, 0);
    EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral(".1")) &&
                 QFileInfo(path + QStringLiteral(".1")).size() > 100);  // still the older file
    log.log(chunk, 0);  // crosses the limit
    log.log(QStringLiteral("first of the new file"), 0);
    EXPECT_GT(QFileInfo(path + QStringLiteral(".1")).size(), Log::kMaxFileSize);
    const QByteArray text = testsupport::readFile(path);
    EXPECT_TRUE(text.endsWith(" | first of the new file"));
    EXPECT_FALSE(text.startsWith('\n'));
    EXPECT_LT(text.size(), 100);
}
