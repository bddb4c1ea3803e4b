// The network commands through the request function: replies, and the argument lists that
// recording stand-in scripts receive through the script runner.
// In a C locale, so that non-ASCII values show whether they reach the scripts as UTF-8.
// ctest: env=LC_ALL=C
#include <gtest/gtest.h>

#include <QFileInfo>

#include "DaemonEnvironment.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "process/ScriptRunner.h"

namespace {

testsupport::DaemonEnvironment& env() { return testsupport::DaemonEnvironment::instance(); }

enum Script { Eth, Wlan, Hostap, None };
const char* const kScripts[] = {"eth.sh", "wlan.sh", "hostap.pl"};

// Stand-ins for the three scripts that record their arguments, each followed by a NUL byte.
const testsupport::ProcessSandbox& scripts() {
    static testsupport::ProcessSandbox* sandbox = [] {
        auto* box = new testsupport::ProcessSandbox();
        QByteArray config = "[Scripts]\nsudo=/usr/bin/env\n";
        const char* const keys[] = {"reconfigure_eth0_script", "reconfigure_wlan0_script",
                                    "mod_hostap_script"};
        for (int s = Eth; s < None; ++s) {
            const QString path =
                box->writeScript(QLatin1String(kScripts[s]),
                                 "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$0.tmp\"\n"
                                 "mv \"$0.tmp\" \"$0.args\"\n");
            config += QByteArray(keys[s]) + '=' + path.toUtf8() + '\n';
        }
        env().setConfig(config);
        return box;
    }();
    return *sandbox;
}

struct ScriptRun {
    std::string reply;
    Script script = None;  // the one script the request started
    QByteArray args;       // what it received
};

ScriptRun run(const QByteArray& query) {
    const auto name = [](int s) { return scripts().path(QLatin1String(kScripts[s])); };
    for (int s = Eth; s < None; ++s) QFile::remove(name(s) + QStringLiteral(".args"));
    ScriptRun result;
    result.reply = env().reply(query).toStdString();
    // Once delivered, what the request posted is registered; a request that posted nothing
    // leaves every name unregistered.
    ScriptRunner* runner = ScriptRunner::singleton();
    runner->deliverPending();
    for (int s = Eth; s < None; ++s) {
        if (!runner->hasProcess(name(s))) continue;
        EXPECT_EQ(result.script, None) << "a second script ran";
        result.script = static_cast<Script>(s);
        EXPECT_TRUE(testsupport::waitFor([&] { return !runner->hasProcess(name(s)); }, 20000));
        result.args = scripts().readFile(QLatin1String(kScripts[s]) + QStringLiteral(".args"));
    }
    return result;
}

QByteArray args(std::initializer_list<QByteArray> list) {
    QByteArray record;
    for (const QByteArray& arg : list) record += arg + '\0';
    return record;
}

std::string reply(const char* msg, const char* type) {
    return (*msg ? "{\"MSG\":\"" + std::string(msg) + "\"," : std::string("{")) + "\"TYPE\":\"" + type + "\"}";
}
const std::string kMissing = testsupport::kReplyMissing.toStdString();
const std::string kInvalid = testsupport::kReplyInvalid.toStdString();
const std::string kStatic = reply("try setting eth0 static", "DATA");
const std::string kMaster = reply("try starting master mode", "DATA");
const std::string kHostapd = reply("[Server] start changing hostapd conf file", "ACK");

TEST(NetworkCommandsTest, RunTheScriptWithTheArgumentsOfTheRequest) {
    struct Case {
        QByteArray query;
        std::string reply;
        Script script;
        QByteArray args;
    };
    // clang-format off
    const Case cases[] = {
        {R"({"TYPE":"SetEthConf","DHCP":"false","IP":"10.0.0.5","Netmask":"255.0.0.0"})", kStatic, Eth, args({"static", "10.0.0.5", "255.0.0.0"})},
        {R"({"TYPE":"SetEthConf","DHCP":7,"Netmask":"m"})", kStatic, Eth, args({"static", "", "m"})},
        {R"({"TYPE":"SetEthConf","DHCP":"true","IP":"1"})", reply("try setting eth0 dhcp", "DATA"), Eth, args({"dhcp"})},
        // Another "DHCP" value runs the script without arguments (so a line feed is harmless).
        {R"({"TYPE":"SetEthConf","DHCP":"True","IP":"a\nb"})", reply("", "DATA"), Eth, args({})},
        {R"({"TYPE":"SetEthConf","IP":"10.0.0.5\naddress 10.6.6.6"})", kInvalid, None, ""},
        {R"({"TYPE":"SetEthConf","Netmask":"255.0.0.0\u007f"})", kInvalid, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab","cipher":"TKIP/CCMP","passphrase":"pw","IP":"1"})", kMaster, Wlan, args({"master", "lab", "TKIP/CCMP", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"master","cipher":"tkip"})", kMaster, Wlan, args({"master", "", "TKIP CCMP", ""})},
        {R"({"TYPE":"SetWlanConf","mode":"master","cipher":"CCMP\nwpa=0"})", kMaster, Wlan, args({"master", "", "TKIP CCMP", ""})},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"false","IP":"1.2.3.4","Netmask":"255.0.0.0","ssid":"home","wpaMode":"WPA2","passphrase":"pw","cipher":"CCMP"})", reply("try starting client mode (static)", "DATA"), Wlan, args({"client", "static", "1.2.3.4", "255.0.0.0", "home", "WPA2", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"False","IP":"1\n","ssid":"home","wpaMode":"WPA","passphrase":"pw"})", reply("try starting client mode (DHCP)", "DATA"), Wlan, args({"client", "dhcp", "home", "WPA", "pw"})},
        {R"({"TYPE":"SetWlanConf","mode":"Master","ssid":"lab","passphrase":"pw"})", kMissing, None, ""},
        {R"({"TYPE":"SetWlanConf","ssid":"lab\n"})", kMissing, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab\n}\nnetwork={","passphrase":"pw"})", kInvalid, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"client","Netmask":"255.0.0.0\r"})", kInvalid, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"1","wpaMode":"\u001b[2J"})", kInvalid, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab","rsnPairwise":"CCMP","passphrase":"secret pw"})", kHostapd, Hostap, args({"lab", "CCMP", "secret pw"})},
        {R"({"TYPE":"SetHostapd","ssid":"lab","passphrase":"pw"})", kHostapd, Hostap, args({"lab", "", "pw"})},
        {R"({"TYPE":"SetHostapd","ssid":"","rsnPairwise":"CCMP","passphrase":"pw"})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab\n","passphrase":7})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab","rsnPairwise":"\t","passphrase":"pw"})", kInvalid, None, ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        const ScriptRun result = run(c.query);
        EXPECT_EQ(result.reply, c.reply) << c.query.constData();
        EXPECT_EQ(result.script, c.script) << c.query.constData();
        EXPECT_EQ(result.args.toStdString(), c.args.toStdString()) << c.query.constData();
    }
}

TEST(NetworkCommandsTest, HostileValuesReachTheScriptsByteForByte) {
    const QByteArray touch = "touch " + scripts().path(QStringLiteral("shell-ran")).toUtf8();
    // clang-format off
    const QByteArray values[] = {
        "$(" + touch + ")", "`" + touch + "`", "x; " + touch + " && echo", "-rf", "--help",
        "' \" \\ '\\''", "*  ?[a] ~ 100% %41 {a,b} > /dev/null &", "  blanks  ",
        "Ünïcødé ☕ 📡", QByteArray(10240, 'k'),
    };
    // clang-format on
    for (const QByteArray& value : values) {
        JsonPtr query(json_object());
        for (const char* key : {"ssid", "rsnPairwise", "passphrase"}) {
            json_object_set_new(query.get(), key, json_stringn(value.constData(), value.size()));
        }
        json_object_set_new(query.get(), "TYPE", json_string("SetHostapd"));
        const ScriptRun result = run(jsonDump(query.get(), JSON_COMPACT));
        EXPECT_EQ(result.reply, kHostapd);
        EXPECT_TRUE(result.args == args({value, value, value})) << value.left(40).constData();
    }
    EXPECT_FALSE(QFileInfo::exists(scripts().path(QStringLiteral("shell-ran"))));
}

TEST(GetIFConfTest, RepliesTheFirstAddressOfTheNamedInterface) {
    const std::string zero = "{\"address\":\"0.0.0.0\",\"netmask\":\"0.0.0.0\",\"TYPE\":\"DATA\"}";
    // clang-format off
    const std::pair<QByteArray, std::string> cases[] = {
        {R"({"TYPE":"GetIFConf","IF":"lo"})", "{\"address\":\"127.0.0.1\",\"netmask\":\"255.0.0.0\",\"TYPE\":\"DATA\"}"},
        {R"({"TYPE":"GetIFConf","IF":"no-such-if0"})", zero},
        {R"({"TYPE":"GetIFConf"})", zero},
        {R"({"TYPE":"GetIFConf","IF":"lo "})", zero},
        // A number names no interface, not the interface with that index.
        {R"({"TYPE":"GetIFConf","IF":"1"})", zero},
    };
    // clang-format on
    for (const auto& [query, body] : cases) {
        EXPECT_EQ(env().reply(query).toStdString(), body) << query.constData();
    }
}

}  // namespace
