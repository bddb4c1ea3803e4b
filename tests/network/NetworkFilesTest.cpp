// The WLAN configuration readers, through "getWLANConf", on real-world and hand-made files,
// and the fallback copy that creates a missing file; a file over a mebibyte is left unread.
// In a C locale, so that non-ASCII values show whether they reach the scripts as UTF-8.
// ctest: env=LC_ALL=C
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <optional>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "network/NetworkConfigFiles.h"

namespace {

testsupport::DaemonEnvironment& env() { return testsupport::DaemonEnvironment::instance(); }

const QString kHostapd = QStringLiteral("/etc/hostapd.conf");
const QString kInterfaces = QStringLiteral("/etc/network/interfaces");
const QString kWpa = QStringLiteral("/etc/wpa_supplicant/wpa_supplicant.conf");
const QString kDefault = QStringLiteral(".default");
using Content = std::optional<QByteArray>;  // nullopt: no file

QByteArray sample(const char* name) { return testsupport::sourceFile("tests/data/network/" + QLatin1String(name)); }

// Puts `content` at the robot path (or only removes what is there), with mode `mode`.
void place(const QString& robotPath, const Content& content, int mode = 0644) {
    const QString path = env().path(robotPath);
    QDir().mkpath(QFileInfo(path).path());
    QFile::remove(path);
    QFile file(path);
    if (content && file.open(QIODevice::WriteOnly)) file.write(*content);
    if (content) ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode));
}

QByteArray readFile(const QString& robotPath) { return testsupport::readFile(env().path(robotPath)); }

// The reply for the ten values, given in reply order and separated by "|".
std::string wlanReply(const QByteArray& values) {
    static const char* const keys[] = {
        "mode",         "isDHCP",        "address",           "netmask",
        "master_ssid",  "master_cipher", "master_passphrase", "client_ssid",
        "client_proto", "client_psk"};
    QByteArray body = "Content-type: text/html\r\n\r\n{";
    const QList<QByteArray> parts = values.split('|');
    for (int i = 0; i < 10; ++i)
        body += QByteArray("\"") + keys[i] + "\":\"" + parts.value(i) + "\",";
    return (body + "\"TYPE\":\"DATA\"}").toStdString();
}

// The reply with these three files in place and no fallback copies.
std::string getWLANConf(const Content& hostapd, const Content& interfaces, const Content& wpa) {
    for (const QString& path : {kHostapd, kInterfaces, kWpa}) place(path + kDefault, std::nullopt);
    place(kHostapd, hostapd);
    place(kInterfaces, interfaces);
    place(kWpa, wpa);
    return env().request("{\"TYPE\":\"getWLANConf\"}").toStdString();
}

TEST(GetWLANConfTest, ReadsTheThreeFiles) {
    env().setConfig(QByteArray());
    // clang-format off
    const std::tuple<Content, Content, Content, QByteArray> cases[] = {
        // Debian's samples: hostapd's cipher and passphrase lines are commented out.
        {sample("hostapd.conf"), sample("interfaces"), sample("wpa_supplicant.conf"), "master|False|192.168.0.1|255.255.255.0|test|||example|RSN|very secret passphrase"},
        {QByteArray("#ssid=no\n ssid=no\nssid=\"first\"\nssid=\"l\"ab\"\nrsn_pairwise=\"CCMP TKIP\"\nwpa_passphrase=\"pass \"word\"\nSSID=no\n"), std::nullopt, std::nullopt, "|True|||lab|\\\"CCMP TKIP\\\"|pass word|||"},
        {QByteArray("ssid=myssid=net\r\nrsn_pairwise=CCMP rsn_pairwise=\r\nwpa_passphrase=caf\xc3\xa9 \xe2\x98\x95\r\n"), std::nullopt, std::nullopt, "|True|||mynet|CCMP |caf\xc3\xa9 \xe2\x98\x95|||"},
        {std::nullopt, std::nullopt, QByteArray("network={\n\tssid=\"one\"\n\tpsk=\"k1\"\n\tproto=WPA\n}\nnetwork={\n  s sid = \"two\n  proto=RSN\"\n  psk=\"a\"b\"\" \n#psk=hidden\n  =orphan\n  wpa_ssid=x\n}\n"), "|True|||||| \\\"two|RSN|a\\\"b\\\"\\\" "},
        // "iface wlan0" also matches wlan01; a line with a comment has more than two parts.
        {std::nullopt, QByteArray("iface wlan01 inet static\n  address 10.1.1.1\n  netmask 255.0.0.0 # lab\n  wpa-conf /etc/wpa_supplicant/wpa_supplicant.conf\niface eth0 inet static\n  address 10.9.9.9\n  hostapd /etc/hostapd.conf\n"), std::nullopt, "client|False|10.1.1.1||||||"},
        {std::nullopt, QByteArray("auto wlan0\niface wlan0 inet dhcp\n\twpa-conf /etc/wpa_supplicant/wpa_supplicant.conf\n\thostapd /etc/hostapd.conf\niface eth0 inet static\n\taddress 1.2.3.4\n"), std::nullopt, "master|True||||||||"},
    };
    // clang-format on
    for (const auto& [hostapd, interfaces, wpa, values] : cases) {
        EXPECT_EQ(getWLANConf(hostapd, interfaces, wpa), wlanReply(values)) << values.constData();
    }
    // A pipe nobody writes to would hold the request thread for good: only regular files are read.
    getWLANConf(std::nullopt, std::nullopt, std::nullopt);
    place(kHostapd + kDefault, QByteArray("ssid=fb\n"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(env().path(kHostapd)).constData(), 0600), 0);
    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(), wlanReply("|True"));
    // The access point's file where the configuration puts it.
    env().setConfig("[Conf]\nhostapdconffile=/etc/ap/ap.conf\n");
    place(QStringLiteral("/etc/ap/ap.conf"), QByteArray("ssid=robot\n"));
    EXPECT_EQ(getWLANConf(std::nullopt, std::nullopt, std::nullopt), wlanReply("|True|||robot"));
}

TEST(GetWLANConfTest, AFileOverAMebibyteIsNotReadNorCopied) {
    env().setConfig(QByteArray());
    // Its first mebibyte alone would give a whole wlan0 stanza.
    const QByteArray big =
        "iface wlan0 inet static\n address 1.1.1.1\n" + QByteArray(2 << 20, '#') + "\n address 9.9.9.9\n";
    getWLANConf(std::nullopt, std::nullopt, std::nullopt);
    place(kInterfaces, big);
    place(kInterfaces + kDefault, QByteArray("iface wlan0 inet static\n address 2.2.2.2\n"));
    place(kWpa + kDefault, "ssid=\"fb\"\n" + QByteArray(2 << 20, '#'));
    QByteArray reply;
    const QString log = env().logOf(0, [&] { reply = env().request("{\"TYPE\":\"getWLANConf\"}"); });
    EXPECT_EQ(reply.toStdString(), wlanReply("|True"));
    EXPECT_TRUE(log.contains(" | /etc/network/interfaces is larger than 1048576 bytes: not read\n"))
        << log.toStdString();
    EXPECT_TRUE(log.contains(
        " | /etc/wpa_supplicant/wpa_supplicant.conf.default is larger than 1048576 bytes: not copied\n"));
    EXPECT_EQ(readFile(kInterfaces), big);
    EXPECT_FALSE(QFileInfo::exists(env().path(kWpa)));
}

TEST(GetWLANConfTest, CopiesAMissingFileFromItsFallbackAndNeverReplacesOne) {
    env().setConfig(QByteArray());
    getWLANConf(std::nullopt, std::nullopt, QByteArray("ssid=\"own\"\n"));
    place(kHostapd + kDefault, QByteArray("ssid=fb\nwpa_passphrase=pw\n"), 0600);
    place(kInterfaces + kDefault, QByteArray("iface wlan0 inet static\n"));
    place(kWpa + kDefault, QByteArray("ssid=\"fb\"\npsk=k\n"));
    // A link at the file's path stays, even a dangling one (a data partition not mounted).
    const QString target = env().path(QStringLiteral("/mnt/interfaces"));
    ASSERT_TRUE(QFile::link(target, env().path(kInterfaces)));
    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(),
              wlanReply("|True|||fb||pw|own"));
    EXPECT_EQ(readFile(kHostapd), "ssid=fb\nwpa_passphrase=pw\n");
    EXPECT_EQ(testsupport::fileMode(env().path(kHostapd)), 0600u);
    EXPECT_EQ(readFile(kWpa), "ssid=\"own\"\n");
    EXPECT_EQ(QFileInfo(env().path(kInterfaces)).symLinkTarget(), target);
    // A link to another file is not written through either.
    place(QStringLiteral("/mnt/interfaces"),
          QByteArray("iface wlan0 inet static\n address 2.2.2.2\n"));
    EXPECT_FALSE(NetworkConfigFiles::installFallbackCopy(env().path(kInterfaces),
                                                         env().path(kInterfaces + kDefault)));
    EXPECT_EQ(readFile(QStringLiteral("/mnt/interfaces")),
              "iface wlan0 inet static\n address 2.2.2.2\n");
    EXPECT_EQ(env().request("{\"TYPE\":\"getWLANConf\"}").toStdString(),
              wlanReply("|False|2.2.2.2||fb||pw|own"));
    // No temporary file is left beside the copy.
    EXPECT_EQ(
        QDir(env().path(QStringLiteral("/etc"))).entryList(QDir::Files | QDir::Hidden),
        QStringList({QStringLiteral("hostapd.conf"), QStringLiteral("hostapd.conf.default")}));
    QFile::remove(env().path(kInterfaces));
}

}  // namespace
