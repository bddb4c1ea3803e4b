#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "DaemonEnvironment.h"
#include "Fcgi.h"

namespace settingstest {

/// Writes `content` to the robot path `robotPath` under the test root (folders made as needed).
void writeFile(const QString& robotPath, const QByteArray& content);
QByteArray readFile(const QString& robotPath);
/// Removes the robot directory and everything in it.
void removeDir(const QString& robotPath);
/// Points the page at `locations` (robot paths).
void setLocations(const QStringList& locations);
/// The body of a raw XML reply, or "<not xml>" with the response when it is none.
QByteArray xmlBody(const QByteArray& response);
/// The reply's "TYPE" and "MSG" as "TYPE" or "TYPE MSG".
QByteArray outcome(const QByteArray& query);

}  // namespace settingstest
