#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace testsupport {

QString sourceDir();
QString binaryDir();

/// The bytes of a file (empty when missing), and a whole file written (folders made as needed).
QByteArray readFile(const QString& path);
bool writeFile(const QString& path, const QByteArray& content);
/// The permission bits of `path` itself, a link not followed (0 when there is nothing).
unsigned fileMode(const QString& path);
/// The bytes of a file of the source tree, e.g. "tests/data/image/frame_64x48.jpg".
QByteArray sourceFile(const QString& relativePath);

/// Lays out a file-system root the way tools/scripts/prepare-sandbox.sh does for the demo (the
/// one layout: folders, a configuration naming `robot`, a version file); false if it failed.
bool prepareSandbox(const QString& root, const QString& robot = QStringLiteral("127.0.0.1:1"));

/// A TCP port on 127.0.0.1 that was free a moment ago.
quint16 freePort();

struct HttpReply {
    bool ok = false;  // a complete response arrived
    int status = 0;
    QByteArray headers;
    QByteArray body;
};

/// A blocking HTTP/1.0 GET of `target` ("/path?query") from 127.0.0.1:`port`, with `headers`
/// (lines ending in CRLF), and another method and a body if given.
HttpReply httpGet(quint16 port, const QByteArray& target, int timeoutMs = 10000,
                  const QByteArray& headers = "Host: 127.0.0.1\r\n", const QByteArray& method = "GET",
                  const QByteArray& body = QByteArray());

/// Writes a JSON text the way the page does: blanks, quotes and braces as %20, %22, %7B, %7D.
QByteArray pageEncode(const QByteArray& json);

/// A GET whose reply goes on (a camera stream), read as it comes.
class HttpStream {
public:
    HttpStream(quint16 port, const QByteArray& target, const QByteArray& headers = "Host: 127.0.0.1\r\n");
    /// Reads until `enough(body())`; false when the time ran out or the reply ended first.
    bool waitFor(const std::function<bool(const QByteArray&)>& enough, int timeoutMs = 10000);
    /// Reads until the web server has ended the reply; false when the time ran out first.
    bool waitEnded(int timeoutMs = 10000);
    const QByteArray& headers() const { return m_headers; }
    const QByteArray& body() const { return m_body; }

private:
    QTcpSocket m_socket;
    QByteArray m_headers;
    QByteArray m_body;
};

/// One picture of a camera stream, as its part's header lines say.
struct StreamPart {
    QByteArray type;
    qint64 sequence = -1;
    qint64 ageMs = -1;
    QByteArray body;
};
/// The whole parts of a camera stream's body so far (each says its length).
QList<StreamPart> streamParts(const QByteArray& body);
/// Whether a camera stream's body so far holds at least `count` whole parts.
inline std::function<bool(const QByteArray&)> hasParts(int count) {
    return [count](const QByteArray& body) { return streamParts(body).size() >= count; };
}

/// A private file-system root for one daemon, laid out by prepareSandbox().
class Sandbox {
public:
    Sandbox();
    QString root() const { return m_dir.path(); }
    QString path(const QString& robotPath) const { return root() + robotPath; }
    void writeFile(const QString& robotPath, const QByteArray& content) const;
    QByteArray readFile(const QString& robotPath) const;

private:
    QTemporaryDir m_dir;
};

/// The simulated robot (tools/robotsim) on a free port, noting every message it receives in
/// `recordFile`; stopped by the destructor.
class SimulatedRobot {
public:
    explicit SimulatedRobot(const QString& recordFile) : m_record(recordFile) {}
    ~SimulatedRobot();
    bool start();
    /// "127.0.0.1:<port>", as the daemon's "~/Network/server" takes it.
    QString address() const;
    /// What it printed so far.
    QByteArray output();
    /// The args of every omnidrive set-point received, oldest first.
    QList<QJsonArray> setPoints() const;
    /// Every message received, oldest first.
    QList<QJsonObject> messages() const;
    /// Sends `signal` to the simulator (SIGSTOP freezes it, SIGCONT thaws it).
    void signal(int signal) const;

private:
    QString m_record;
    QProcess m_process;
    QByteArray m_output;
    quint16 m_port = 0;
};

/// The real webgated binary behind a FastCGI socket (spawn-fcgi, or systemd-socket-activate) and
/// nginx with the packaged snippet (or lighttpd with the packaged example), both serving the page
/// from the sandbox's /usr/share/webgated/www, all on free resources; everything started is
/// stopped by the destructor.
class DaemonUnderTest {
public:
    explicit DaemonUnderTest(const Sandbox& sandbox);
    ~DaemonUnderTest();

    /// Starts the daemon (working directory `workDir`, default the sandbox root) and nginx.
    bool start(const QString& workDir = QString());
    /// Before start(): sets an environment variable of the daemon.
    void setEnvironment(const QString& name, const QString& value) {
        m_environment.insert(name, value);
    }
    /// Before start(): nginx keeps its FastCGI connections open in a keep-alive pool.
    void setKeepAlive(bool on) { m_keepAlive = on; }
    /// Before start(): nginx includes Debian's fastcgi_params (HTTP_HOST without the port).
    void setFastcgiParams(bool on) { m_fastcgiParams = on; }
    /// Before start(): lighttpd with the packaged example instead of nginx.
    void setLighttpd(bool on) { m_lighttpd = on; }
    /// Before start(): Apache (mod_proxy_fcgi, its connections reused) instead of nginx.
    void setApache(bool on) { m_apache = on; }
    /// Before start(): the socket is handed over by LISTEN_FDS (systemd-socket-activate, which
    /// starts the daemon on the first connection) instead of as standard input.
    void setSocketActivated(bool on) { m_socketActivated = on; }
    /// The daemon's FastCGI socket.
    QString socketPath() const { return m_socket; }
    /// Sends `signal` to the daemon without waiting.
    void signalDaemon(int signal) const;
    /// Whether the daemon still runs (its end is noticed while the event loop turns).
    bool isDaemonRunning() const { return m_daemon && m_daemon->state() != QProcess::NotRunning; }
    /// The exit status once the daemon has ended; -1 if it crashed.
    int daemonExitCode() const;
    quint16 port() const { return m_port; }
    /// The web server's error log.
    QByteArray webServerErrors() const;
    qint64 daemonPid() const;

    /// GET /webgated?<query> with `query` sent as it stands.
    HttpReply query(const QByteArray& query, int timeoutMs = 10000) const;
    /// GET with the JSON text written the way the page writes it.
    HttpReply command(const QByteArray& json, int timeoutMs = 10000) const { return query(pageEncode(json), timeoutMs); }
    /// The same with the request's own header lines and method.
    HttpReply command(const QByteArray& json, const QByteArray& headers, const QByteArray& method = "GET") const {
        return httpGet(m_port, "/webgated?" + pageEncode(json), 10000, headers, method);
    }

    /// What the daemon printed on standard output and error.
    /// The daemon's log file.
    QByteArray logFile() const { return m_sandbox.readFile(QStringLiteral("/var/log/webgated")); }

private:
    QString serverName() const;  // the web server's program
    const Sandbox& m_sandbox;
    quint16 m_port = 0;
    QString m_socket;
    std::unique_ptr<QProcess> m_daemon;
    std::unique_ptr<QProcess> m_nginx;  // the web server: nginx, lighttpd or Apache
    QProcessEnvironment m_environment;
    bool m_keepAlive = false;
    bool m_fastcgiParams = false;
    bool m_lighttpd = false;
    bool m_apache = false;
    bool m_socketActivated = false;
};

}  // namespace testsupport
