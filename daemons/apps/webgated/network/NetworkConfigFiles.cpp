#include "network/NetworkConfigFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "service/Client.h"
#include "base/FsRoot.h"
#include "base/RenameNoReplace.h"
#include "kel/corvanta/daemons/Log.h"
#include "network/NetworkUndo.h"
#include "base/DaemonLog.h"

namespace {

// Far more than any of these files holds; a larger one is not read at all (not in part: the
// entries after the limit would be lost without a word), nor copied as a fallback.
constexpr qint64 kMaxFileBytes = 1 << 20;

void logTooLarge(const QString& robotPath, const char* what) {
    // In one step: a "%2" in the path stays as it is.
    daemonLog(QStringLiteral("%1 is larger than %2 bytes: not %3")
            .arg(robotPath, QString::number(kMaxFileBytes), QLatin1String(what)),
        0);
}

QString parameter(const char* key, const char* defaultValue) {
    return Client::singleton()
        ->getParameter(QLatin1String(key), QLatin1String(defaultValue))
        .toString();
}

QString systemError(int error) { return QString::fromLocal8Bit(strerror(error)); }

// Copies the open file `in` into the new file `out`; false with errno set on failure.
bool copyContent(int in, int out) {
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (!NetworkUndo::writeAll(out, QByteArray::fromRawData(buffer, int(got)))) return false;
    }
}

bool startsWith(const QString& line, const char* key) {
    return line.startsWith(QLatin1String(key));
}

QString removeAll(QString line, const char* text) { return line.remove(QLatin1String(text)); }

}  // namespace

namespace NetworkConfigFiles {

bool installFallbackCopy(const QString& path, const QString& fallbackPath) {
    const QByteArray target = QFile::encodeName(path);
    struct stat status;
    // lstat: a link at the path, even a dangling one (an unmounted data partition), is kept.
    if (::lstat(target.constData(), &status) == 0 || errno != ENOENT) return false;

    const QByteArray source = QFile::encodeName(fallbackPath);
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    if (::fstat(in, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(in);
        daemonLog(QStringLiteral("Cannot copy %1: not a regular file")
                .arg(FsRoot::robotPath(fallbackPath)),
            1);
        return false;
    }
    if (status.st_size > kMaxFileBytes) {
        ::close(in);
        logTooLarge(FsRoot::robotPath(fallbackPath), "copied");
        return false;
    }
    const mode_t permissions = status.st_mode & 0777;

    const int slash = target.lastIndexOf('/');
    QByteArray temporary = target.left(slash + 1) + '.' + target.mid(slash + 1) + ".XXXXXX";
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        daemonLog(QStringLiteral("Cannot copy %1 to %2: %3")
                .arg(FsRoot::robotPath(fallbackPath), FsRoot::robotPath(path), systemError(error)),
            1);
        return false;
    }
    bool ok = copyContent(in, out) && ::fchmod(out, permissions) == 0 && ::fsync(out) == 0;
    int error = errno;
    ok = (::close(out) == 0) && ok;
    ::close(in);
    if (ok) {
        ok = renameNoReplace(temporary, target);
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        // Someone else put a file there in the meantime: it is read as it is.
        if (error == EEXIST) return false;
        daemonLog(QStringLiteral("Cannot copy %1 to %2: %3")
                .arg(FsRoot::robotPath(fallbackPath), FsRoot::robotPath(path), systemError(error)),
            1);
        return false;
    }
    daemonLog(QStringLiteral("Copied %1 to %2")
            .arg(FsRoot::robotPath(fallbackPath), FsRoot::robotPath(path)),
        1);
    return true;
}

bool readLines(const QString& path, const QString& fallbackPath, QStringList* lines) {
    const QString file = FsRoot::fsPath(path);
    installFallbackCopy(file, FsRoot::fsPath(fallbackPath));
    // A regular file only (through links): a pipe or a device would hold the request thread.
    if (!QFileInfo(file).isFile()) return false;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) return false;
    const QByteArray content = in.read(kMaxFileBytes + 1);
    if (content.size() > kMaxFileBytes) {
        logTooLarge(path, "read");
        return false;
    }
    *lines = NetworkUndo::linesOf(content);
    return true;
}

}  // namespace NetworkConfigFiles

void getHostapdConf(QString* ssid, QString* rsnPairwise, QString* passphrase) {
    const QString path = parameter("~/Conf/hostapdconffile", "/etc/hostapd.conf");
    const QString fallback =
        parameter("~/Conf/hostapdconfdefaultfile", "/etc/hostapd.conf.default");
    QStringList lines;
    NetworkConfigFiles::readLines(path, fallback, &lines);
    for (const QString& line : lines) {
        if (startsWith(line, "ssid=")) {
            *ssid = removeAll(removeAll(line, "ssid="), "\"");
        } else if (startsWith(line, "rsn_pairwise=")) {
            // The cipher list keeps its quotes.
            *rsnPairwise = removeAll(line, "rsn_pairwise=");
        } else if (startsWith(line, "wpa_passphrase=")) {
            *passphrase = removeAll(removeAll(line, "wpa_passphrase="), "\"");
        }
    }
    if (ssid->isEmpty())
        daemonLog(QStringLiteral("Failed to read ssid from %1\nssid=%2").arg(path, *ssid), 0);
    if (rsnPairwise->isEmpty()) {
        daemonLog(QStringLiteral("Failed to read rsa_pairwise from %1\nrsn_pairwise=%2")
                .arg(path, *rsnPairwise),
            0);
    }
    if (passphrase->isEmpty()) {
        daemonLog(QStringLiteral("Failed to read wpa_passphrase from %1\nwpa_passphrase=%2")
                .arg(path, *passphrase),
            0);
    }
}

void getWpaSupplicantConf(QString* ssid, QString* proto, QString* psk) {
    const QString path =
        parameter("~/Conf/wpasupplicantconffile", "/etc/wpa_supplicant/wpa_supplicant.conf");
    const QString fallback = parameter("~/Conf/wpasupplicantconfdefaultfile",
                                       "/etc/wpa_supplicant/wpa_supplicant.conf.default");
    QStringList lines;
    NetworkConfigFiles::readLines(path, fallback, &lines);
    for (const QString& line : lines) {
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) continue;
        QString key = line.left(equals);
        static const QRegularExpression whiteSpace(QStringLiteral("\\s"));
        key.remove(whiteSpace);
        QString value = line.mid(equals + 1);
        if (value.startsWith(QLatin1Char('"'))) value.remove(0, 1);
        if (value.endsWith(QLatin1Char('"'))) value.chop(1);
        if (key == QLatin1String("ssid")) {
            *ssid = value;
        } else if (key == QLatin1String("proto")) {
            *proto = value;
        } else if (key == QLatin1String("psk")) {
            *psk = value;
        }
    }
    if (ssid->isEmpty())
        daemonLog(QStringLiteral("Failed to read ssid from %1\nssid=%2").arg(path, *ssid), 0);
    if (proto->isEmpty())
        daemonLog(QStringLiteral("Failed to read proto from %1\nproto=%2").arg(path, *proto), 0);
    if (psk->isEmpty())
        daemonLog(QStringLiteral("Failed to read psk from %1\npsk=%2").arg(path, *psk), 0);
}

void getInterfacesWLAN0Conf(bool* isDHCP, QString* address, QString* netmask, QString* mode) {
    QStringList lines;
    NetworkConfigFiles::readLines(QStringLiteral("/etc/network/interfaces"),
                                  QStringLiteral("/etc/network/interfaces.default"), &lines);
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    // The stanza runs from the line naming "iface wlan0" to the next line starting with "iface".
    bool inStanza = false;
    for (const QString& line : lines) {
        if (startsWith(line, "iface")) {
            inStanza = false;
        } else if (inStanza) {
            const QStringList parts = line.split(blanks, Qt::SkipEmptyParts);
            if (parts.size() == 2) {
                if (parts.at(0) == QLatin1String("address")) *address = parts.at(1);
                if (parts.at(0) == QLatin1String("netmask")) *netmask = parts.at(1);
            }
            if (line.contains(QLatin1String("start-wlan0-master.sh")) ||
                line.contains(QLatin1String("hostapd"))) {
                *mode = QStringLiteral("master");
            } else if (line.contains(QLatin1String("wpa_supplicant.conf"))) {
                *mode = QStringLiteral("client");
            }
        }
        if (line.contains(QLatin1String("iface wlan0"))) {
            *isDHCP = !line.contains(QLatin1String("static"));
            inStanza = true;
        }
    }
}
