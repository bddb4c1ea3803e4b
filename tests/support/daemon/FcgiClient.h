#pragma once

#include <QByteArray>
#include <QString>

namespace testsupport {

/// Plays the web server: sends one FastCGI responder request whose only parameter is
/// QUERY_STRING to the Unix socket `socketPath`, and collects the standard output stream.
/// Returns false on a connection or protocol failure or when `timeoutMs` passes.
bool fcgiRequest(const QString& socketPath, const QByteArray& query, QByteArray* out, int timeoutMs = 10000);

/// Makes a Unix socket at `path` the process's standard input, as a FastCGI spawner does;
/// with `listening` false it is only bound. False on failure.
bool socketOnStdin(const QString& path, bool listening = true);

}  // namespace testsupport
