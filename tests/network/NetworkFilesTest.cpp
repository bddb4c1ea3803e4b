// The WLAN configuration readers through "getWLANConf", on real-world and hand-made files, and
// the fallback copy that creates a missing file; a file over a mebibyte is left unread. In a C
// locale, so that non-ASCII values show whether they stay UTF-8.
// ctest: env=LC_ALL=C
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <optional>

#include "DaemonEnvironment.h"
#include "E2e.h"

using namespace testsupport;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
const QString kHostapd = QStringLiteral("/etc/hostapd.conf");
const QString kInterfaces = QStringLiteral("/etc/network/interfaces");
const QString kWpa = QStringLiteral("/etc/wpa_supplicant/wpa_supplicant.conf");
const QString kDefault = QStringLiteral(".default");
using Content = std::optional<QByteArray>;  // nullopt: no file

// Puts `content` at the robot path with mode `mode`, or only removes what is there.
void place(const QString& robotPath, const Content& content, mode_t mode = 0644) {
    const QString path = env().path(robotPath);
    QFile::remove(path);
    if (content && writeFile(path, *content)) ::chmod(QFile::encodeName(path).constData(), mode);
}

// The reply with the ten values, given in reply order and separated by "|".
std::string wlanReply(const QByteArray& values) {
    const char* const keys[] = {"mode",         "isDHCP",        "address",           "netmask",
                                "master_ssid",  "master_cipher", "master_passphrase", "client_ssid",
                                "client_proto", "client_psk"};
    QByteArray body = "{";
    for (int i = 0; i < 10; ++i)
        body += QByteArray("\"") + keys[i] + "\":\"" + values.split('|').value(i) + "\",";
    return (body + "\"TYPE\":\"DATA\"}").toStdString();
}

std::string getWLANConf() { return env().reply("{\"TYPE\":\"getWLANConf\"}").toStdString(); }

// The reply with these three files in place and no fallback copies.
std::string getWLANConf(const Content& hostapd, const Content& interfaces, const Content& wpa) {
    for (const QString& path : {kHostapd, kInterfaces, kWpa}) place(path + kDefault, std::nullopt);
    place(kHostapd, hostapd);
    place(kInterfaces, interfaces);
    place(kWpa, wpa);
    return getWLANConf();
}

TEST(GetWLANConfTest, ReadsTheThreeFiles) {
    // clang-format off
    const std::tuple<Content, Content, Content, QByteArray> cases[] = {
        // Debian's samples: hostapd's cipher and passphrase lines are commented out.
        {sourceFile("tests/data/network/hostapd.conf"), sourceFile("tests/data/network/interfaces"), sourceFile("tests/data/network/wpa_supplicant.conf"),
         "master|False|192.168.0.1|255.255.255.0|test|||example|RSN|very secret passphrase"},
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
    EXPECT_EQ(getWLANConf(), wlanReply("|True"));
    // The access point's file where the configuration puts it.
    env().setConfig("[Conf]\nhostapdconffile=/etc/ap/ap.conf\n");
    place(QStringLiteral("/etc/ap/ap.conf"), QByteArray("ssid=robot\n"));
    EXPECT_EQ(getWLANConf(std::nullopt, std::nullopt, std::nullopt), wlanReply("|True|||robot"));
}

TEST(GetWLANConfTest, CopiesAMissingFileFromItsFallbackNeverOverAFileOrALinkNorOverAMebibyte) {
    env().setConfig(QByteArray());
    getWLANConf(std::nullopt, std::nullopt, QByteArray("ssid=\"own\"\n"));
    place(kHostapd + kDefault, QByteArray("ssid=fb\nwpa_passphrase=pw\n"), 0600);
    place(kInterfaces + kDefault, QByteArray("iface wlan0 inet static\n"));
    place(kWpa + kDefault, QByteArray("ssid=\"fb\"\npsk=k\n"));
    // A link at the file's path stays, even a dangling one (a data partition not mounted).
    const QString target = env().path(QStringLiteral("/mnt/interfaces"));
    ASSERT_TRUE(QFile::link(target, env().path(kInterfaces)));
    EXPECT_EQ(getWLANConf(), wlanReply("|True|||fb||pw|own"));
    EXPECT_EQ(fileMode(env().path(kHostapd)), 0600u);
    EXPECT_EQ(QFileInfo(env().path(kInterfaces)).symLinkTarget(), target);
    // No temporary file is left beside the copy.
    EXPECT_EQ(
        QDir(env().path(QStringLiteral("/etc"))).entryList(QDir::Files | QDir::Hidden),
        QStringList({QStringLiteral("hostapd.conf"), QStringLiteral("hostapd.conf.default")}));

    // Read through the link, a file over a mebibyte is not read at all (its first mebibyte
    // alone would give a whole wlan0 stanza), and a fallback that large is not copied.
    const QByteArray big = "iface wlan0 inet static\n address 1.1.1.1\n" + QByteArray(2 << 20, '#');
    writeFile(target, big);
    place(kWpa, std::nullopt);
    place(kWpa + kDefault, "ssid=\"fb\"\n" + QByteArray(2 << 20, '#'));
    EXPECT_EQ(getWLANConf(), wlanReply("|True|||fb||pw"));
    EXPECT_FALSE(QFileInfo::exists(env().path(kWpa)));
    QFile::remove(env().path(kInterfaces));
}

}  // namespace
