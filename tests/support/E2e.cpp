#include "E2e.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdlib>

#include "TestRobot.h"
#include "Wait.h"

namespace testsupport {

// The environment (set by ctest) wins; a program started by hand (a benchmark) gets the tree
// it was built from.
QString sourceDir() {
    return QString::fromLocal8Bit(std::getenv("WEBGATED_SOURCE_DIR") ? std::getenv("WEBGATED_SOURCE_DIR") : WEBGATED_SOURCE_TREE);
}
QString binaryDir() {
    return QString::fromLocal8Bit(std::getenv("WEBGATED_BINARY_DIR") ? std::getenv("WEBGATED_BINARY_DIR") : WEBGATED_BINARY_TREE);
}

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

HttpReply httpGet(quint16 port, const QByteArray& target, int timeoutMs, const QByteArray& headers,
                  const QByteArray& method, const QByteArray& body) {
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(timeoutMs)) return reply;
    const QByteArray length = body.isEmpty() ? QByteArray() : "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    socket.write(method + " " + target + " HTTP/1.0\r\n" + headers + length + "\r\n" + body);
    QByteArray data;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(timeoutMs)) {
        data += socket.readAll();
    }
    data += socket.readAll();
    const int split = data.indexOf("\r\n\r\n");
    if (split < 0) return reply;
    reply.headers = data.left(split + 4);
    reply.body = data.mid(split + 4);
    const QList<QByteArray> statusLine = data.left(data.indexOf("\r\n")).split(' ');
    if (statusLine.size() >= 2) reply.status = statusLine.at(1).toInt();
    reply.ok = reply.status > 0;
    return reply;
}

HttpStream::HttpStream(quint16 port, const QByteArray& target, const QByteArray& headers) {
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    if (m_socket.waitForConnected(5000)) m_socket.write("GET " + target + " HTTP/1.0\r\n" + headers + "\r\n");
}

bool HttpStream::waitFor(const std::function<bool(const QByteArray&)>& enough, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const QByteArray data = m_socket.readAll();
        if (m_headers.isEmpty()) {
            m_body += data;
            const int split = m_body.indexOf("\r\n\r\n");
            if (split >= 0) {
                m_headers = m_body.left(split + 4);
                m_body.remove(0, split + 4);
            }
        } else {
            m_body += data;
        }
        if (!m_headers.isEmpty() && enough(m_body)) return true;
        const qint64 left = timeoutMs - timer.elapsed();
        if (left <= 0) return false;
        if (m_socket.bytesAvailable() > 0) continue;
        if (m_socket.state() != QAbstractSocket::ConnectedState) return false;
        m_socket.waitForReadyRead(int(std::min<qint64>(left, 100)));
    }
}

bool HttpStream::waitEnded(int timeoutMs) {
    waitFor([](const QByteArray&) { return false; }, timeoutMs);
    return m_socket.state() != QAbstractSocket::ConnectedState && m_socket.bytesAvailable() == 0;
}

QList<StreamPart> streamParts(const QByteArray& body) {
    QList<StreamPart> parts;
    for (qsizetype at = 0;;) {
        const qsizetype end = body.indexOf("\r\n\r\n", at);
        if (end < 0) return parts;
        StreamPart part;
        qsizetype length = -1;
        for (const QByteArray& line : body.mid(at, end - at).split('\n')) {
            const int colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower(), value = line.mid(colon + 1).trimmed();
            if (colon < 0) continue;
            if (name == "content-type") part.type = value;
            if (name == "content-length") length = value.toLongLong();
            if (name == "x-frame-sequence") part.sequence = value.toLongLong();
            if (name == "x-frame-age-ms") part.ageMs = value.toLongLong();
        }
        at = end + 4;
        if (length < 0) continue;  // the empty part before the end
        if (body.size() < at + length) return parts;
        part.body = body.mid(at, length);
        parts.append(part);
        at += length;
    }
}

QByteArray pageEncode(const QByteArray& json) {
    return QByteArray(json).replace(' ', "%20").replace('"', "%22").replace('{', "%7B").replace('}', "%7D");
}

QByteArray readFile(const QString& path) {
    QFile in(path);
    return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(content) == content.size();
}

unsigned fileMode(const QString& path) {
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0u;
}

QByteArray sourceFile(const QString& relativePath) { return readFile(sourceDir() + '/' + relativePath); }

bool prepareSandbox(const QString& root, const QString& robot) {
    const QByteArray script = QFile::encodeName(sourceDir() + QStringLiteral("/tools/scripts/prepare-sandbox.sh"));
    const QByteArray rootArg = QFile::encodeName(root), robotArg = robot.toUtf8();
    // fork and exec rather than QProcess: ThreadSanitizer follows a fork, but not the way Qt
    // starts a process, and would lose track of the locks the thread tests take afterwards.
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/sh", "sh", script.constData(), rootArg.constData(), robotArg.constData(), nullptr);
        ::_exit(127);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Sandbox::Sandbox() { prepareSandbox(root()); }

void Sandbox::writeFile(const QString& robotPath, const QByteArray& content) const {
    testsupport::writeFile(path(robotPath), content);
}

QByteArray Sandbox::readFile(const QString& robotPath) const { return testsupport::readFile(path(robotPath)); }

// Asks `process` to end, and kills it when it has not within five seconds.
static void stopProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

SimulatedRobot::~SimulatedRobot() { stopProcess(m_process); }

bool SimulatedRobot::start() {
    m_process.start(binaryDir() + QStringLiteral("/tools/robotsim/robotsim"),
                    {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--record"), m_record});
    if (!m_process.waitForStarted(5000)) return false;
    // "robotsim listening on 127.0.0.1:<port>"
    const QByteArray marker = "listening on 127.0.0.1:";
    if (!waitFor([&] { return output().contains('\n'); })) return false;
    const int at = m_output.indexOf(marker);
    m_port = at < 0 ? 0 : static_cast<quint16>(m_output.mid(at + marker.size()).split('\n').first().toUInt());
    return m_port != 0;
}

QString SimulatedRobot::address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

QByteArray SimulatedRobot::output() { return m_output += m_process.readAllStandardOutput(); }

QList<QJsonObject> SimulatedRobot::messages() const {
    QList<QJsonObject> messages;
    for (const QByteArray& line : readFile(m_record).split('\n')) {
        if (!line.isEmpty()) messages.append(QJsonDocument::fromJson(line).object());
    }
    return messages;
}

QList<QJsonArray> SimulatedRobot::setPoints() const {
    return commandsIn(messages(), QStringLiteral("omnidrive"));
}

void SimulatedRobot::signal(int signal) const {
    if (m_process.processId() > 0) ::kill(static_cast<pid_t>(m_process.processId()), signal);
}

DaemonUnderTest::DaemonUnderTest(const Sandbox& sandbox) : m_sandbox(sandbox) {}

DaemonUnderTest::~DaemonUnderTest() {
    for (QProcess* process : {m_daemon.get(), m_nginx.get()}) {
        if (process) stopProcess(*process);
    }
}

qint64 DaemonUnderTest::daemonPid() const { return m_daemon ? m_daemon->processId() : 0; }

bool DaemonUnderTest::start(const QString& workDir) {
    m_socket = m_sandbox.path(QStringLiteral("/run/webgated.sock"));
    QFile::remove(m_socket);

    m_daemon.reset(new QProcess());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WEBGATED_ROOT"), m_sandbox.root());
    env.insert(m_environment);
    m_daemon->setProcessEnvironment(env);
    m_daemon->setProcessChannelMode(QProcess::MergedChannels);
    m_daemon->setStandardOutputFile(m_sandbox.path(QStringLiteral("/run/daemon.out")));
    const QString dir = workDir.isEmpty() ? m_sandbox.root() : workDir;
    const QString binary = binaryDir() + QStringLiteral("/daemons/apps/webgated/webgated");
    if (m_socketActivated) {
        // It passes on only the variables it is told to, as systemd does.
        QStringList args{QStringLiteral("-l"), m_socket};
        for (const QString& name : m_environment.keys() + QStringList{QStringLiteral("WEBGATED_ROOT"), QStringLiteral("PATH")}) {
            args << QStringLiteral("-E") << name;
        }
        m_daemon->setWorkingDirectory(dir);
        m_daemon->start(QStringLiteral("systemd-socket-activate"), args << QStringLiteral("--") << binary);
    } else {
        // spawn-fcgi -n hands the listening socket over as standard input and becomes the daemon.
        m_daemon->start(QStringLiteral("spawn-fcgi"),
                        {QStringLiteral("-n"), QStringLiteral("-s"), m_socket, QStringLiteral("-M"),
                         QStringLiteral("0666"), QStringLiteral("-d"), dir, QStringLiteral("--"),
                         binary});
    }
    if (!m_daemon->waitForStarted(5000)) return false;
    if (!waitFor([this] { return QFileInfo::exists(m_socket); }, 5000)) return false;

    const QString server = serverName();
    const QString prefix = m_sandbox.path(QStringLiteral("/run/") + server);
    QDir().mkpath(prefix);
    m_port = freePort();
    const QString www = m_sandbox.path(QStringLiteral("/var/www"));
    const QString page = m_sandbox.path(QStringLiteral("/usr/share/webgated/www"));
    QStringList confArgs{prefix, QString::number(m_port), m_socket, page, www};
    if (m_apache) {
        // Its worker runs as www-data when started as root: the way to the socket is opened to it.
        for (const QString& dir : {m_sandbox.root(), m_sandbox.path(QStringLiteral("/run"))}) {
            QFile::setPermissions(dir, QFile::permissions(dir) | QFileDevice::ExeOther);
        }
        confArgs.removeAt(3);  // it serves no page
    } else if (!m_lighttpd) {
        // The packaged snippet itself, in a server block like Debian's default site.
        confArgs << (m_keepAlive ? QStringLiteral("keepalive") : QString())
                 << (m_fastcgiParams ? QStringLiteral("fastcgi_params") : QString());
    }
    QProcess conf;
    conf.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString script = m_apache ? QStringLiteral("apache") : server;
    conf.start(sourceDir() + "/tools/scripts/" + script + "-conf.sh", confArgs);
    // A generator that refuses (a robot path it cannot move) starts no web server.
    if (!conf.waitForFinished(5000) || conf.exitStatus() != QProcess::NormalExit || conf.exitCode() != 0) return false;
    const QString confPath = prefix + QLatin1Char('/') + server + QStringLiteral(".conf");
    if (!writeFile(confPath, conf.readAllStandardOutput())) return false;

    m_nginx.reset(new QProcess());
    m_nginx->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_nginx->start(server, m_apache     ? QStringList{"-X", "-f", confPath}
                           : m_lighttpd ? QStringList{"-D", "-f", confPath}
                                        : QStringList{"-p", prefix, "-c", confPath});
    if (!m_nginx->waitForStarted(5000)) return false;
    return waitFor(
        [this] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            return probe.waitForConnected(100);
        },
        10000);
}

HttpReply DaemonUnderTest::query(const QByteArray& query, int timeoutMs) const {
    return httpGet(m_port, "/webgated?" + query, timeoutMs);
}

QString DaemonUnderTest::serverName() const {
    return m_lighttpd ? "lighttpd" : m_apache ? "apache2" : "nginx";
}

QByteArray DaemonUnderTest::webServerErrors() const {
    return m_sandbox.readFile("/run/" + serverName() + "/error.log");
}

void DaemonUnderTest::signalDaemon(int signal) const {
    if (isDaemonRunning()) ::kill(static_cast<pid_t>(m_daemon->processId()), signal);
}

int DaemonUnderTest::daemonExitCode() const {
    if (!m_daemon || m_daemon->state() != QProcess::NotRunning) return -1;
    return m_daemon->exitStatus() == QProcess::NormalExit ? m_daemon->exitCode() : -1;
}

}  // namespace testsupport
