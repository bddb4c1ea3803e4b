#include "network/NetworkConfigFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "base/AtomicFile.h"
#include "base/DaemonLog.h"
#include "base/FsRoot.h"
#include "network/HostapdConf.h"
#include "network/InterfacesConf.h"
#include "network/WpaSupplicantConf.h"
#include "service/Client.h"

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

// The open file `in`, read to its end or to `max` + 1 bytes; false with errno set on failure.
bool readAll(int in, qint64 max, QByteArray* content) {
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0 || content->size() > max) return true;
        content->append(buffer, int(got));
    }
}

struct Place {
    const char* key;  // null: the path is fixed
    const char* path;
    const char* fallbackKey;
    const char* fallback;
};

const Place& placeOf(NetworkFile file) {
    static const Place interfaces = {nullptr, "/etc/network/interfaces", nullptr,
                                     "/etc/network/interfaces.default"};
    static const Place wpaSupplicant = {
        "~/Conf/wpasupplicantconffile", "/etc/wpa_supplicant/wpa_supplicant.conf",
        "~/Conf/wpasupplicantconfdefaultfile", "/etc/wpa_supplicant/wpa_supplicant.conf.default"};
    static const Place hostapd = {"~/Conf/hostapdconffile", "/etc/hostapd.conf",
                                  "~/Conf/hostapdconfdefaultfile", "/etc/hostapd.conf.default"};
    switch (file) {
        case NetworkFile::Interfaces:
            return interfaces;
        case NetworkFile::WpaSupplicant:
            return wpaSupplicant;
        case NetworkFile::Hostapd:
            break;
    }
    return hostapd;
}

}  // namespace

namespace NetworkConfigFiles {

QString path(NetworkFile file) {
    const Place& place = placeOf(file);
    return place.key ? parameter(place.key, place.path) : QLatin1String(place.path);
}

QString fallbackPath(NetworkFile file) {
    const Place& place = placeOf(file);
    return place.fallbackKey ? parameter(place.fallbackKey, place.fallback)
                             : QLatin1String(place.fallback);
}

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
    AtomicFileOptions options;
    options.mode = status.st_mode & 0777;
    options.noReplace = true;
    options.syncFolder = false;
    QByteArray content;
    const bool read = readAll(in, kMaxFileBytes, &content);
    const int readError = errno;
    ::close(in);
    if (read && content.size() > kMaxFileBytes) {
        logTooLarge(FsRoot::robotPath(fallbackPath), "copied");
        return false;
    }
    if (!read || !AtomicFile::write(target, content, options)) {
        const int error = read ? errno : readError;
        // Someone else put a file there in the meantime: it is read as it is.
        if (error == EEXIST) return false;
        daemonLog(QStringLiteral("Cannot copy %1 to %2: %3")
                      .arg(FsRoot::robotPath(fallbackPath), FsRoot::robotPath(path),
                           AtomicFile::errorText(error)),
                  1);
        return false;
    }
    daemonLog(QStringLiteral("Copied %1 to %2")
                  .arg(FsRoot::robotPath(fallbackPath), FsRoot::robotPath(path)),
              1);
    return true;
}

bool read(const QString& path, const QString& fallbackPath, QByteArray* content) {
    const QString file = FsRoot::fsPath(path);
    installFallbackCopy(file, FsRoot::fsPath(fallbackPath));
    // A regular file only (through links): a pipe or a device would hold the request thread.
    if (!QFileInfo(file).isFile()) return false;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = in.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes) {
        logTooLarge(path, "read");
        return false;
    }
    *content = bytes;
    return true;
}

QStringList linesOf(const QByteArray& content) {
    QStringList lines;
    int start = 0;
    while (start < content.size()) {
        int end = content.indexOf('\n', start);
        const int next = end < 0 ? content.size() : end + 1;
        if (end < 0) end = content.size();
        int length = end - start;
        if (length > 0 && content.at(end - 1) == '\r') --length;
        lines.append(QString::fromUtf8(content.constData() + start, length));
        start = next;
    }
    return lines;
}

}  // namespace NetworkConfigFiles

namespace {

// The content of `file` as the readers see it (empty when it cannot be read), and its path.
QByteArray contentOf(NetworkFile file, QString* path) {
    *path = NetworkConfigFiles::path(file);
    QByteArray content;
    NetworkConfigFiles::read(*path, NetworkConfigFiles::fallbackPath(file), &content);
    return content;
}

void logEmpty(const QString& value, const char* what, const char* key, const QString& path) {
    if (!value.isEmpty()) return;
    daemonLog(QStringLiteral("Failed to read %1 from %2\n%3=%4")
                  .arg(QLatin1String(what), path, QLatin1String(key), value),
              0);
}

}  // namespace

void getHostapdConf(QString* ssid, QString* rsnPairwise, QString* passphrase) {
    QString path;
    const HostapdConf conf = HostapdConf::parse(contentOf(NetworkFile::Hostapd, &path));
    *ssid = conf.ssid;
    *rsnPairwise = conf.rsnPairwise;
    *passphrase = conf.passphrase;
    logEmpty(*ssid, "ssid", "ssid", path);
    logEmpty(*rsnPairwise, "rsa_pairwise", "rsn_pairwise", path);
    logEmpty(*passphrase, "wpa_passphrase", "wpa_passphrase", path);
}

void getWpaSupplicantConf(QString* ssid, QString* proto, QString* psk) {
    QString path;
    const WpaSupplicantConf conf =
        WpaSupplicantConf::parse(contentOf(NetworkFile::WpaSupplicant, &path));
    *ssid = conf.ssid;
    *proto = conf.proto;
    *psk = conf.psk;
    logEmpty(*ssid, "ssid", "ssid", path);
    logEmpty(*proto, "proto", "proto", path);
    logEmpty(*psk, "psk", "psk", path);
}

void getInterfacesWLAN0Conf(bool* isDHCP, QString* address, QString* netmask, QString* mode) {
    QString path;
    const InterfacesConf conf = InterfacesConf::parse(contentOf(NetworkFile::Interfaces, &path));
    if (conf.hasWlan0) *isDHCP = conf.isDHCP;
    *address = conf.address;
    *netmask = conf.netmask;
    *mode = conf.mode;
}
