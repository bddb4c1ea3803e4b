// The network commands through the request function: replies, and the argument lists that
// recording stand-in scripts receive through the script runner.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include "DaemonEnvironment.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "process/ScriptRunner.h"

using testsupport::DaemonEnvironment;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }

const QByteArray kHeader = "Content-type: text/html\r\n\r\n";

std::string reply(const QByteArray& body) { return (kHeader + body).toStdString(); }

// A script that writes its arguments, each followed by a NUL byte, to "<script>.args".
const char kRecorder[] =
    "for arg in \"$@\"; do printf '%s' \"$arg\"; printf '\\000'; done > \"$0.tmp\"\n"
    "mv \"$0.tmp\" \"$0.args\"\n";

enum Script { Eth, Wlan, Hostap, Marker, None };

class Scripts {
public:
    static Scripts& instance() {
        static Scripts scripts;
        return scripts;
    }
    QString path(Script script) const {
        static const char* const names[] = {"eth.sh", "wlan.sh", "hostap.pl", "marker.sh"};
        return m_sandbox.path(QLatin1String(names[script]));
    }
    QString record(Script script) const { return path(script) + QStringLiteral(".args"); }

    // Runs `query`, then shows which script ran with which arguments: a marker script is
    // started after whatever the request started, so once the marker has run, a script the
    // request started is registered or has left its record.
    void run(const QByteArray& query, std::string* response, Script* ran, QByteArray* args) {
        for (Script s : {Eth, Wlan, Hostap, Marker}) QFile::remove(record(s));
        *response = env().request(query).toStdString();
        ScriptRunner::singleton()->runScript(path(Marker));
        ASSERT_TRUE(testsupport::waitFor([&] { return QFileInfo::exists(record(Marker)); }, 20000));
        *ran = None;
        for (Script s : {Eth, Wlan, Hostap}) {
            if (!ScriptRunner::singleton()->hasProcess(path(s)) && !QFileInfo::exists(record(s))) continue;
            EXPECT_EQ(*ran, None) << "a second script ran";
            *ran = s;
            ASSERT_TRUE(testsupport::waitFor([&] { return QFileInfo::exists(record(s)); }, 20000));
            QFile file(record(s));
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            *args = file.readAll();
        }
        // Every run has ended before the next request, so none is replaced by another.
        ASSERT_TRUE(testsupport::waitFor([&] {
            for (Script s : {Eth, Wlan, Hostap, Marker}) {
                if (ScriptRunner::singleton()->hasProcess(path(s))) return false;
            }
            return true;
        }, 20000));
    }

private:
    Scripts() {
        for (Script s : {Eth, Wlan, Hostap, Marker}) {
            m_sandbox.writeScript(QFileInfo(path(s)).fileName(), kRecorder);
        }
        env().setConfig("[Scripts]\nsudo=/usr/bin/env\nreconfigure_eth0_script=" +
                        QFile::encodeName(path(Eth)) + "\nreconfigure_wlan0_script=" +
                        QFile::encodeName(path(Wlan)) + "\nmod_hostap_script=" +
                        QFile::encodeName(path(Hostap)) + "\n");
    }
    testsupport::ProcessSandbox m_sandbox;
};

// The record a script leaves for these arguments.
QByteArray args(std::initializer_list<QByteArray> list) {
    QByteArray record;
    for (const QByteArray& arg : list) record += arg + '\0';
    return record;
}

const QByteArray kMissing = "{\"TYPE\":\"ERR\",\"MSG\":\"MISSING PARAMETER(S)\"}";
const QByteArray kInvalid = "{\"TYPE\":\"ERR\",\"MSG\":\"INVALID PARAMETER(S)\"}";
const QByteArray kEthStatic = "{\"MSG\":\"try setting eth0 static\",\"TYPE\":\"DATA\"}";
const QByteArray kEthDhcp = "{\"MSG\":\"try setting eth0 dhcp\",\"TYPE\":\"DATA\"}";
const QByteArray kMaster = "{\"MSG\":\"try starting master mode\",\"TYPE\":\"DATA\"}";
const QByteArray kClientStatic = "{\"MSG\":\"try starting client mode (static)\",\"TYPE\":\"DATA\"}";
const QByteArray kClientDhcp = "{\"MSG\":\"try starting client mode (DHCP)\",\"TYPE\":\"DATA\"}";
const QByteArray kHostapd = "{\"MSG\":\"[Server] start changing hostapd conf file\",\"TYPE\":\"ACK\"}";

struct CommandCase {
    QByteArray query;
    QByteArray reply;
    Script script;
    QByteArray args;
};

void runCases(const std::vector<CommandCase>& cases) {
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.query.constData());
        std::string response;
        Script ran = None;
        QByteArray recorded;
        Scripts::instance().run(c.query, &response, &ran, &recorded);
        EXPECT_EQ(response, reply(c.reply));
        EXPECT_EQ(ran, c.script);
        if (c.script != None) {
            EXPECT_EQ(recorded.toStdString(), c.args.toStdString());
        }
    }
}

TEST(SetEthConfTest, PassesStaticOrDhcpSettingsToTheScript) {
    runCases({
        {R"({"TYPE":"SetEthConf","DHCP":"false","IP":"10.0.0.5","Netmask":"255.255.255.0"})",
         kEthStatic, Eth, args({"static", "10.0.0.5", "255.255.255.0"})},
        {R"({"TYPE":"SetEthConf"})", kEthStatic, Eth, args({"static", "", ""})},
        {R"({"TYPE":"SetEthConf","DHCP":7,"IP":["1"],"Netmask":"m"})", kEthStatic, Eth,
         args({"static", "", "m"})},
        {R"({"TYPE":"SetEthConf","DHCP":"true","IP":"10.0.0.5"})", kEthDhcp, Eth, args({"dhcp"})},
        // Any other value runs the script without arguments and without a message.
        {R"({"TYPE":"SetEthConf","DHCP":"True","IP":"10.0.0.5"})", "{\"TYPE\":\"DATA\"}", Eth,
         args({})},
        {R"({"TYPE":"SetEthConf","DHCP":"yes","IP":"a\nb"})", "{\"TYPE\":\"DATA\"}", Eth, args({})},
        // A line break or another control character in a value the script would get: refused.
        {R"({"TYPE":"SetEthConf","IP":"10.0.0.5\naddress 10.6.6.6"})", kInvalid, None, ""},
        {R"({"TYPE":"SetEthConf","DHCP":"false","Netmask":"255.0.0.0\u007f"})", kInvalid, None, ""},
        {R"({"TYPE":"SetEthConf","Netmask":"\t255.0.0.0"})", kInvalid, None, ""},
    });
}

TEST(SetWlanConfTest, PassesMasterAndClientSettingsToTheScript) {
    runCases({
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab","cipher":"CCMP","passphrase":"pw","DHCP":"false","IP":"1.2.3.4"})",
         kMaster, Wlan, args({"master", "lab", "CCMP", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab","cipher":"TKIP/CCMP","passphrase":"pw"})",
         kMaster, Wlan, args({"master", "lab", "TKIP/CCMP", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab","cipher":"TKIP","passphrase":"pw"})",
         kMaster, Wlan, args({"master", "lab", "TKIP", "pw"})},
        // Anything but the four accepted cipher texts becomes "TKIP CCMP".
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab","cipher":"tkip","passphrase":"pw"})",
         kMaster, Wlan, args({"master", "lab", "TKIP CCMP", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"master","cipher":"CCMP\nwpa=0"})", kMaster, Wlan,
         args({"master", "", "TKIP CCMP", ""})},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"false","IP":"1.2.3.4","Netmask":"255.0.0.0","ssid":"home","wpaMode":"WPA2","passphrase":"pw","cipher":"CCMP"})",
         kClientStatic, Wlan, args({"client", "static", "1.2.3.4", "255.0.0.0", "home", "WPA2", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"client","ssid":"home"})", kClientStatic, Wlan,
         args({"client", "static", "", "", "home", "", ""})},
        // For the WLAN client every value but empty and "false" selects DHCP.
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"true","IP":"1.2.3.4\n","ssid":"home","wpaMode":"WPA","passphrase":"pw"})",
         kClientDhcp, Wlan, args({"client", "dhcp", "home", "WPA", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"False","ssid":"home"})", kClientDhcp,
         Wlan, args({"client", "dhcp", "home", "", ""})},
        {R"({"TYPE":"SetWlanConf","mode":"Master","ssid":"lab","passphrase":"pw"})", kMissing, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"client "})", kMissing, None, ""},
        {R"({"TYPE":"SetWlanConf","ssid":"lab\n"})", kMissing, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab\n}\nnetwork={","passphrase":"pw"})",
         kInvalid, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"false","Netmask":"255.0.0.0\r"})", kInvalid,
         None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"true","wpaMode":"\u001b[2J"})", kInvalid,
         None, ""},
    });
}

TEST(SetHostapdTest, NeedsNameAndPassphrase) {
    runCases({
        {R"({"TYPE":"SetHostapd","ssid":"lab","rsnPairwise":"CCMP","passphrase":"secret pw"})",
         kHostapd, Hostap, args({"lab", "CCMP", "secret pw"})},
        {R"({"TYPE":"SetHostapd","ssid":"lab","passphrase":"pw"})", kHostapd, Hostap,
         args({"lab", "", "pw"})},
        {R"({"TYPE":"SetHostapd","ssid":"lab","rsnPairwise":"CCMP"})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"","passphrase":"pw"})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab\n","passphrase":7})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab","passphrase":"pw\nwpa=0"})", kInvalid, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab","rsnPairwise":"\u0001","passphrase":"pw"})", kInvalid,
         None, ""},
    });
}

TEST(NetworkCommandsTest, HostileValuesReachTheScriptsByteForByte) {
    const QString marker = env().path(QStringLiteral("/shell-ran"));
    const QByteArray touch = "touch " + QFile::encodeName(marker);
    const QList<QByteArray> values = {
        "$(" + touch + ")",
        "`" + touch + "`",
        "x; " + touch + " && echo",
        "-rf",
        "--help",
        "' \" \\ '\\''",
        "*  ?[a] ~ 100% %41 {a,b} > /dev/null &",
        "  blanks around  ",
        "\xc3\x9c" "n" "\xc3\xaf" "c" "\xc3\xb8" "d" "\xc3\xa9" " \xe2\x98\x95 \xf0\x9f\x93\xa1",
        QByteArray(10240, 'k'),
    };
    for (const QByteArray& value : values) {
        SCOPED_TRACE(value.left(40).constData());
        for (const char* type : {"SetHostapd", "SetEthConf"}) {
            JsonPtr query(json_object());
            json_object_set_new(query.get(), "TYPE", json_string(type));
            for (const char* key : {"ssid", "rsnPairwise", "passphrase", "IP", "Netmask"}) {
                json_object_set_new(query.get(), key, json_stringn(value.constData(), value.size()));
            }
            std::string response;
            Script ran = None;
            QByteArray recorded;
            Scripts::instance().run(jsonDump(query.get(), JSON_COMPACT), &response, &ran, &recorded);
            const bool hostapd = QByteArray(type) == "SetHostapd";
            EXPECT_EQ(response, reply(hostapd ? kHostapd : kEthStatic));
            EXPECT_EQ(ran, hostapd ? Hostap : Eth);
            EXPECT_TRUE(recorded == (hostapd ? args({value, value, value}) : args({"static", value, value})))
                << recorded.left(80).constData();
        }
    }
    EXPECT_FALSE(QFileInfo::exists(marker));
}

TEST(NetworkCommandsTest, LogsTheChangeRequests) {
    env().clearLog();
    std::string response;
    Script ran = None;
    QByteArray recorded;
    Scripts::instance().run(R"({"TYPE":"SetEthConf","DHCP":"true"})", &response, &ran, &recorded);
    Scripts::instance().run(R"({"TYPE":"SetWlanConf"})", &response, &ran, &recorded);
    Scripts::instance().run(R"({"TYPE":"SetHostapd","ssid":"a","passphrase":"b"})", &response, &ran, &recorded);
    const QString log = env().logText();
    for (const char* line : {" | start processing: {\"TYPE\":\"SetEthConf\",\"DHCP\":\"true\"}\n",
                             " | start processing: {\"TYPE\":\"SetWlanConf\"}\n",
                             " | start processing:{\"TYPE\":\"SetHostapd\",\"ssid\":\"a\",\"passphrase\":\"b\"}\n",
                             " | [Server] start changing hostapd conf file\n"}) {
        EXPECT_TRUE(log.contains(QLatin1String(line))) << line << qPrintable(log);
    }
}

TEST(GetIFConfTest, RepliesTheFirstAddressOfTheNamedInterface) {
    const char* const zero = "{\"address\":\"0.0.0.0\",\"netmask\":\"0.0.0.0\",\"TYPE\":\"DATA\"}";
    const std::pair<QByteArray, QByteArray> cases[] = {
        {R"({"TYPE":"GetIFConf","IF":"lo"})",
         "{\"address\":\"127.0.0.1\",\"netmask\":\"255.0.0.0\",\"TYPE\":\"DATA\"}"},
        {R"({"TYPE":"GetIFConf","IF":"no-such-if0"})", zero},
        {R"({"TYPE":"GetIFConf","IF":""})", zero},
        {R"({"TYPE":"GetIFConf"})", zero},
        {R"({"TYPE":"GetIFConf","IF":"lo "})", zero},
        {R"({"TYPE":"GetIFConf","IF":"LO"})", zero},
        // A number names no interface, not the interface with that index.
        {R"({"TYPE":"GetIFConf","IF":"1"})", zero},
    };
    for (const auto& [query, body] : cases) {
        EXPECT_EQ(env().request(query).toStdString(), reply(body)) << query.constData();
    }
}

}  // namespace
