// The WLAN configuration readers, through "getWLANConf", on real-world and hand-made files,
// and the fallback copy that creates a missing file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <optional>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "network/NetworkConfigFiles.h"

using testsupport::DaemonEnvironment;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }

const QByteArray kHeader = "Content-type: text/html\r\n\r\n";
const char kHostapd[] = "/etc/hostapd.conf";
const char kInterfaces[] = "/etc/network/interfaces";
const char kWpa[] = "/etc/wpa_supplicant/wpa_supplicant.conf";
using Content = std::optional<QByteArray>;  // nullopt: no file

QByteArray sample(const char* name) {
    QFile file(testsupport::sourceDir() + QStringLiteral("/tests/data/network/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Puts `content` at the robot path (or removes what is there), with the given permissions.
void place(const QString& robotPath, const Content& content, int mode = 0644) {
    const QString path = env().path(robotPath);
    QDir().mkpath(QFileInfo(path).path());
    QFile::remove(path);
    if (!content) return;
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(*content);
    file.close();
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0);
}

unsigned modeOf(const QString& path) {
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

QByteArray readRobotFile(const QString& robotPath) {
    QFile file(env().path(robotPath));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

std::string wlanReply(const char* mode, const char* dhcp, const char* address, const char* netmask,
                     const char* masterSsid, const char* cipher, const char* passphrase,
                     const char* clientSsid, const char* proto, const char* psk) {
    return (kHeader + QByteArray("{\"mode\":\"") + mode + "\",\"isDHCP\":\"" + dhcp +
           "\",\"address\":\"" + address + "\",\"netmask\":\"" + netmask + "\",\"master_ssid\":\"" +
           masterSsid + "\",\"master_cipher\":\"" + cipher + "\",\"master_passphrase\":\"" +
           passphrase + "\",\"client_ssid\":\"" + clientSsid + "\",\"client_proto\":\"" + proto +
           "\",\"client_psk\":\"" + psk + "\",\"TYPE\":\"DATA\"}").toStdString();
}

void clearFiles() {
    for (const char* path : {kHostapd, kInterfaces, kWpa}) {
        place(QLatin1String(path), std::nullopt);
        place(QLatin1String(path) + QLatin1String(".default"), std::nullopt);
    }
}

struct FilesCase {
    const char* what;
    Content hostapd;
    Content interfaces;
    Content wpa;
    std::string reply;
};

TEST(GetWLANConfTest, ReadsTheThreeFiles) {
    env().setConfig(QByteArray());
    const FilesCase cases[] = {
        {"Debian's samples and an interfaces file with several stanzas", sample("hostapd.conf"),
         sample("interfaces"), sample("wpa_supplicant.conf"),
         wlanReply("master", "False", "192.168.0.1", "255.255.255.0", "test", "", "", "example",
                   "RSN", "very secret passphrase")},
        {"hostapd: keys at the line start only; quotes gone except in the cipher",
         QByteArray("#ssid=commented\n ssid=indented\nssid=\"first\"\nssid=\"l\"ab\"\n"
                    "rsn_pairwise=\"CCMP TKIP\"\nwpa_passphrase=\"pass \"word\"\n"
                    "#wpa_passphrase=old\nSSID=upper\n"),
         std::nullopt, std::nullopt,
         wlanReply("", "True", "", "", "lab", "\\\"CCMP TKIP\\\"", "pass word", "", "", "")},
        {"hostapd: every occurrence of the key goes; CR before LF dropped; UTF-8 kept",
         QByteArray("ssid=myssid=net\r\nrsn_pairwise=CCMP rsn_pairwise=\r\n"
                    "wpa_passphrase=caf\xc3\xa9 \xe2\x98\x95\r\n"),
         std::nullopt, std::nullopt,
         wlanReply("", "True", "", "", "mynet", "CCMP ", "caf\xc3\xa9 \xe2\x98\x95", "", "", "")},
        {"wpa_supplicant: last block wins; keys lose white space; one quote each side; untrimmed",
         std::nullopt, std::nullopt,
         QByteArray("network={\n\tssid=\"one\"\n\tpsk=\"k1\"\n\tproto=WPA\n}\n"
                    "network={\n  s sid = \"two\n  proto=RSN\"\n  psk=\"a\"b\"\" \n"
                    "#psk=hidden\n  =orphan\n  wpa_ssid=x\n}\n"),
         wlanReply("", "True", "", "", "", "", "", " \\\"two", "RSN", "a\\\"b\\\"\\\" ")},
        {"interfaces: wlan01 counts; trailing comments and other stanzas ignored; client mode",
         std::nullopt,
         QByteArray("iface wlan01 inet static\n  address 10.1.1.1\n  netmask 255.0.0.0 # lab\n"
                    "  wpa-conf /etc/wpa_supplicant/wpa_supplicant.conf\n"
                    "iface eth0 inet static\n  address 10.9.9.9\n  hostapd /etc/hostapd.conf\n"),
         std::nullopt,
         wlanReply("client", "False", "10.1.1.1", "", "", "", "", "", "", "")},
        {"interfaces: DHCP stanza; the later mode line wins; the next iface line ends it",
         std::nullopt,
         QByteArray("auto wlan0\niface wlan0 inet dhcp\n"
                    "\twpa-conf /etc/wpa_supplicant/wpa_supplicant.conf\n\thostapd /etc/hostapd.conf\n"
                    "iface eth0 inet static\n\taddress 1.2.3.4\n"),
         std::nullopt,
         wlanReply("master", "True", "", "", "", "", "", "", "", "")},
    };
    for (const FilesCase& c : cases) {
        SCOPED_TRACE(c.what);
        clearFiles();
        place(QLatin1String(kHostapd), c.hostapd);
        place(QLatin1String(kInterfaces), c.interfaces);
        place(QLatin1String(kWpa), c.wpa);
        EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(), c.reply);
    }
}

TEST(GetWLANConfTest, LogsWhatItCouldNotFindUnderTheConfiguredPaths) {
    clearFiles();
    env().setConfig("[Conf]\nhostapdconffile=/etc/ap/ap.conf\n");
    place(QStringLiteral("/etc/ap/ap.conf"), QByteArray("ssid=robot\n"));
    env().clearLog();
    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(),
              wlanReply("", "True", "", "", "robot", "", "", "", "", ""));
    const QString log = env().logText();
    for (const char* line :
         {"Failed to read rsa_pairwise from /etc/ap/ap.conf\nrsn_pairwise=\n",
          "Failed to read wpa_passphrase from /etc/ap/ap.conf\nwpa_passphrase=\n",
          "Failed to read ssid from /etc/wpa_supplicant/wpa_supplicant.conf\nssid=\n",
          "Failed to read proto from /etc/wpa_supplicant/wpa_supplicant.conf\nproto=\n",
          "Failed to read psk from /etc/wpa_supplicant/wpa_supplicant.conf\npsk=\n"}) {
        EXPECT_TRUE(log.contains(QLatin1String(line))) << line;
    }
    EXPECT_FALSE(log.contains(QLatin1String("Failed to read ssid from /etc/ap"))) << qPrintable(log);
    env().setConfig(QByteArray());
}

TEST(GetWLANConfTest, CopiesAMissingFileFromItsFallbackAndNeverReplacesOne) {
    env().setConfig(QByteArray());
    clearFiles();
    const QString hostapd = QLatin1String(kHostapd);
    const QString wpa = QLatin1String(kWpa);
    place(hostapd + QLatin1String(".default"), QByteArray("ssid=fallback\nwpa_passphrase=pw\n"), 0600);
    place(QLatin1String(kInterfaces) + QLatin1String(".default"),
          QByteArray("iface wlan0 inet static\n address 1.1.1.1\n"), 0640);
    place(wpa + QLatin1String(".default"), QByteArray("ssid=\"fb\"\npsk=k\nproto=RSN\n"));
    place(wpa, QByteArray("ssid=\"own\"\n"));
    // A link at the file's path, even a dangling one (a data partition not mounted), stays.
    ASSERT_TRUE(QFile::link(env().path(QStringLiteral("/mnt/data/interfaces")),
                            env().path(QLatin1String(kInterfaces))));

    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(),
              wlanReply("", "True", "", "", "fallback", "", "pw", "own", "", ""));
    const QFileInfo copy(env().path(hostapd));
    EXPECT_FALSE(copy.isSymLink());
    EXPECT_EQ(readRobotFile(hostapd), "ssid=fallback\nwpa_passphrase=pw\n");
    EXPECT_EQ(modeOf(env().path(hostapd)), 0600u);
    EXPECT_EQ(readRobotFile(wpa), "ssid=\"own\"\n");
    EXPECT_EQ(QFileInfo(env().path(QLatin1String(kInterfaces))).symLinkTarget(),
              env().path(QStringLiteral("/mnt/data/interfaces")));

    // Once the partition is there, the link is read through.
    place(QStringLiteral("/mnt/data/interfaces"), QByteArray("iface wlan0 inet static\n address 2.2.2.2\n"));
    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(),
              wlanReply("", "False", "2.2.2.2", "", "fallback", "", "pw", "own", "", ""));
    // No temporary file is left beside the copies.
    EXPECT_EQ(QDir(env().path(QStringLiteral("/etc"))).entryList(QDir::Files | QDir::Hidden),
              QStringList({QStringLiteral("hostapd.conf"), QStringLiteral("hostapd.conf.default")}));
    QFile::remove(env().path(QLatin1String(kInterfaces)));
}

TEST(GetWLANConfTest, ReadsRegularFilesOnly) {
    env().setConfig(QByteArray());
    clearFiles();
    // A pipe nobody writes to would block the request thread for good.
    ASSERT_EQ(::mkfifo(QFile::encodeName(env().path(QLatin1String(kHostapd))).constData(), 0600), 0);
    place(QLatin1String(kHostapd) + QLatin1String(".default"), QByteArray("ssid=fallback\n"));
    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(),
              wlanReply("", "True", "", "", "", "", "", "", "", ""));
    QFile::remove(env().path(QLatin1String(kHostapd)));
}

TEST(FallbackCopyTest, CopiesOnlyWhenNothingIsThere) {
    const QString dir = env().path(QStringLiteral("/copy"));
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString fallback = dir + QStringLiteral("/f.default");
    const QString file = dir + QStringLiteral("/f");
    place(QStringLiteral("/copy/f.default"), QByteArray("secret\n"), 0640);

    // A link to another file is not followed: the other file keeps its content.
    place(QStringLiteral("/copy/victim"), QByteArray("victim\n"));
    ASSERT_TRUE(QFile::link(dir + QStringLiteral("/victim"), file));
    EXPECT_FALSE(NetworkConfigFiles::installFallbackCopy(file, fallback));
    EXPECT_EQ(readRobotFile(QStringLiteral("/copy/victim")), "victim\n");
    QFile::remove(file);

    // No fallback: nothing is created.
    EXPECT_FALSE(NetworkConfigFiles::installFallbackCopy(file, dir + QStringLiteral("/none")));
    EXPECT_FALSE(QFileInfo::exists(file));
    // A fallback that is a directory is not copied.
    EXPECT_FALSE(NetworkConfigFiles::installFallbackCopy(file, dir));
    EXPECT_FALSE(QFileInfo::exists(file));

    EXPECT_TRUE(NetworkConfigFiles::installFallbackCopy(file, fallback));
    EXPECT_EQ(readRobotFile(QStringLiteral("/copy/f")), "secret\n");
    EXPECT_EQ(modeOf(file), 0640u);
    place(QStringLiteral("/copy/f.default"), QByteArray("changed\n"), 0640);
    EXPECT_FALSE(NetworkConfigFiles::installFallbackCopy(file, fallback));
    EXPECT_EQ(readRobotFile(QStringLiteral("/copy/f")), "secret\n");
    EXPECT_EQ(QDir(dir).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

}  // namespace
