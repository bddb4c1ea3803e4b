#pragma once

#include <QByteArray>
#include <QString>

namespace testsupport {

/// Plays the web server: sends one FastCGI responder request whose only parameter is
/// QUERY_STRING to the Unix socket `socketPath`, and collects the standard output stream.
/// Returns false on a connection or protocol failure or when `timeoutMs` passes.
bool fcgiRequest(const QString& socketPath, const QByteArray& query, QByteArray* out, int timeoutMs = 10000);

/// One connection to a FastCGI socket, kept open across requests as a web server with a
/// keep-alive pool does; closed by the destructor.
class FcgiConnection {
public:
    explicit FcgiConnection(const QString& socketPath);
    ~FcgiConnection();
    FcgiConnection(const FcgiConnection&) = delete;
    FcgiConnection& operator=(const FcgiConnection&) = delete;

    bool isConnected() const { return m_fd >= 0; }
    /// One request; with `keepConnection` the daemon is asked to leave the connection open.
    bool request(const QByteArray& query, QByteArray* out, bool keepConnection, int timeoutMs = 10000);
    /// Writes raw bytes (a request cut short, say).
    bool send(const QByteArray& bytes);
    /// True when the daemon closed the connection within `timeoutMs`.
    bool waitForClose(int timeoutMs);

private:
    int m_fd = -1;
};

/// Makes a listening Unix socket at `path` the process's standard input, as a FastCGI spawner
/// does; with `listening` false the socket is only bound. False on failure.
bool socketOnStdin(const QString& path, bool listening = true);

}  // namespace testsupport
