// The network commands through the request function, with stand-in scripts that note their
// arguments and rewrite the network files: replies and argument lists byte for byte (no shell,
// UTF-8 in a C locale); changes undone unless confirmed, mode, owner and group included; the
// state file across a restart; the leftovers of a write cut short; no passphrase in any log line.
// ctest: threads timeout=240 env=LC_ALL=C
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <thread>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "network/NetworkChangeState.h"
#include "process/ScriptRunner.h"

using namespace testsupport;
using Phase = NetworkChange::Phase;
using Runs = QList<QByteArray>;

namespace {

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
NetworkChange& change() { return env().fcgi().context().network; }
QString at(const char* robotPath) { return env().path(QLatin1String(robotPath)); }
QString state() { return env().path(NetworkChangeState::path()); }
std::string reply(const QByteArray& query) { return env().reply(query).toStdString(); }

const char kInterfaces[] =
    "auto lo\niface lo inet loopback\n\nallow-hotplug eth0\niface eth0 inet static\n"
    "    address 10.0.0.5/24\n    gateway 10.0.0.1\n\nauto wlan0\niface wlan0 inet static\n"
    "    address 192.168.0.1\n    netmask 255.255.255.0\n"
    "    post-up /usr/local/bin/start-wlan0-master.sh\n";
const char kHostapd[] =
    "interface=wlan0\nssid=\"lab\"\nrsn_pairwise=CCMP\nwpa_passphrase=\"old secret\"\n";
const char kEthUndo[] = "static|10.0.0.5|255.255.255.0";

enum Script { Eth, Wlan, Hostap, None };
const char* const kScripts[] = {"eth.sh", "wlan.sh", "hostap.pl"};

// Stand-ins for the three scripts: each notes a run's arguments in <script>.runs (a line, "|"
// between them), takes a second when <script>.slow exists, hangs once when <script>.hang exists
// and overwrites the files it changes.
const ProcessSandbox& scripts() {
    static ProcessSandbox* sandbox = [] {
        auto* box = new ProcessSandbox();
        const QString eth = at("/etc/network/interfaces"), hostapd = at("/etc/hostapd.conf");
        const QStringList files[] = {
            {eth}, {eth, at("/etc/wpa_supplicant/wpa_supplicant.conf"), hostapd}, {hostapd}};
        const char* const keys[] = {"reconfigure_eth0_script", "reconfigure_wlan0_script",
                                    "mod_hostap_script"};
        QByteArray config = "[Scripts]\nsudo=/usr/bin/env\n";
        for (int s = Eth; s < None; ++s) {
            QByteArray body =
                "(IFS='|'; printf '%s\\n' \"$*\") >>\"$0.runs\"; echo \"$0 was given: $*\"\n"
                "[ -e \"$0.slow\" ] && sleep 1\n"
                "if [ -e \"$0.hang\" ]; then rm \"$0.hang\"; sleep 1000; fi\n";
            for (const QString& file : files[s]) {
                body += "printf '# changed by %s\\n' \"$*\" >'" + file.toUtf8() + "'\n";
            }
            const QString path = box->writeScript(QLatin1String(kScripts[s]), body);
            config += QByteArray(keys[s]) + '=' + path.toUtf8() + '\n';
        }
        env().setConfig(config);
        return box;
    }();
    return *sandbox;
}

// The runs of `script` since its notes were last removed.
Runs runsOf(Script script) {
    Runs runs =
        scripts().readFile(QLatin1String(kScripts[script]) + QStringLiteral(".runs")).split('\n');
    runs.removeLast();  // after the last line feed
    return runs;
}

void remove(const char* kind) {
    for (const char* s : kScripts)
        QFile::remove(scripts().path(QLatin1String(s) + QLatin1String(kind)));
}

// The reply to `query`, the script it started and that script's arguments joined by "|".
std::tuple<std::string, Script, std::string> run(const QByteArray& query) {
    remove(".runs");
    const std::string body = reply(query);
    ScriptRunner* runner = ScriptRunner::singleton();
    runner->deliverPending();  // what the request posted is registered now
    for (int s = Eth; s < None; ++s) {
        const QString name = scripts().path(QLatin1String(kScripts[s]));
        if (!runner->hasProcess(name)) continue;
        EXPECT_TRUE(waitFor([&] { return !runner->hasProcess(name); }, 20000));
        return {body, Script(s), runsOf(Script(s)).value(0).toStdString()};
    }
    return {body, None, std::string()};
}

std::string msg(const char* text, const char* type) {
    return (*text ? "{\"MSG\":\"" + std::string(text) + "\"," : std::string("{")) + "\"TYPE\":\"" +
           type + "\"}";
}
const std::string kMissing = kReplyMissing.toStdString();
const std::string kInvalid = kReplyInvalid.toStdString();
const std::string kHostapdAck = msg("[Server] start changing hostapd conf file", "ACK");

// Each value one argument, byte for byte: a shell would have changed them.
TEST(NetworkCommandsTest, RepliesAndTheScriptsArgumentsFollowTheRequest) {
    const std::string master = msg("try starting master mode", "DATA");
    // clang-format off
    const std::tuple<QByteArray, std::string, Script, std::string> cases[] = {
        {R"({"TYPE":"SetEthConf","DHCP":"false","IP":"10.0.0.5","Netmask":"255.0.0.0"})", msg("try setting eth0 static", "DATA"), Eth, "static|10.0.0.5|255.0.0.0"},
        {R"({"TYPE":"SetEthConf","DHCP":7,"Netmask":"m"})", msg("try setting eth0 static", "DATA"), Eth, "static||m"},
        // Another "DHCP" value runs the script without arguments (so a line feed is harmless).
        {R"({"TYPE":"SetEthConf","DHCP":"True","IP":"a\nb"})", msg("", "DATA"), Eth, ""},
        {R"({"TYPE":"SetEthConf","Netmask":"255.0.0.0\u007f"})", kInvalid, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab","cipher":"TKIP/CCMP","passphrase":"pw","IP":"1"})", master, Wlan, "master|lab|TKIP/CCMP|pw"},
        {R"({"TYPE":"SetWlanConf","mode":"master","cipher":"tkip"})", master, Wlan, "master||TKIP CCMP|"},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"false","IP":"1.2.3.4","Netmask":"255.0.0.0","ssid":"home","wpaMode":"WPA2","passphrase":"pw","cipher":"CCMP"})", msg("try starting client mode (static)", "DATA"), Wlan, "client|static|1.2.3.4|255.0.0.0|home|WPA2|pw"},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"False","IP":"1\n","ssid":"home","wpaMode":"WPA","passphrase":"pw"})", msg("try starting client mode (DHCP)", "DATA"), Wlan, "client|dhcp|home|WPA|pw"},
        {R"({"TYPE":"SetWlanConf","mode":"Master","ssid":"lab","passphrase":"pw"})", kMissing, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"master","ssid":"lab\n}\nnetwork={","passphrase":"pw"})", kInvalid, None, ""},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"1","wpaMode":"\u001b[2J"})", kInvalid, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab","passphrase":"pw"})", kHostapdAck, Hostap, "lab||pw"},
        {R"({"TYPE":"SetHostapd","ssid":"","rsnPairwise":"CCMP","passphrase":"pw"})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab\n","passphrase":7})", kMissing, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"lab","rsnPairwise":"\t","passphrase":"pw"})", kInvalid, None, ""},
        {R"({"TYPE":"SetEthConf","confirmWithin":9})", kInvalid, None, ""},
        {R"({"TYPE":"SetEthConf","confirmWithin":601})", kInvalid, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"a","passphrase":"b","confirmWithin":"60"})", kInvalid, None, ""},
        {R"({"TYPE":"SetHostapd","ssid":"$(touch x) `touch x`","rsnPairwise":"x; touch x && echo *  ?[a] ~ 100% {a,b} > /dev/null &","passphrase":"-rf"})", kHostapdAck, Hostap,
         "$(touch x) `touch x`|x; touch x && echo *  ?[a] ~ 100% {a,b} > /dev/null &|-rf"},
        {R"({"TYPE":"SetHostapd","ssid":"' \" \\ '\\''","rsnPairwise":"  blanks  ","passphrase":"Ünïcødé ☕ 📡"})", kHostapdAck, Hostap, R"(' " \ '\''|  blanks  |Ünïcødé ☕ 📡)"},
        {R"({"TYPE":"GetIFConf","IF":"lo"})", R"({"address":"127.0.0.1","netmask":"255.0.0.0","TYPE":"DATA"})", None, ""},
        // A number names no interface, not the interface with that index.
        {R"({"TYPE":"GetIFConf","IF":"1"})", R"({"address":"0.0.0.0","netmask":"0.0.0.0","TYPE":"DATA"})", None, ""},
        {R"({"TYPE":"GetIFConf"})", R"({"address":"0.0.0.0","netmask":"0.0.0.0","TYPE":"DATA"})", None, ""},
    };
    // clang-format on
    for (const auto& [query, body, script, args] : cases) {
        EXPECT_EQ(run(query), std::tuple(body, script, args)) << query.constData();
    }
    const QByteArray k(10240, 'k');
    EXPECT_EQ(run(R"({"TYPE":"SetHostapd","ssid":"a","passphrase":")" + k + "\"}"),
              std::tuple(kHostapdAck, Hostap, ("a||" + k).toStdString()));
}

class NetworkChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripts();
        remove(".runs");
        remove(".slow");
        QDir(at("/etc")).removeRecursively();
        QDir(at("/var/lib")).removeRecursively();
        writeFile(at("/etc/network/interfaces"), kInterfaces);
        s_hostapd = kHostapd;
        writeFile(at("/data/hostapd.conf"), s_hostapd);
        // The access point's file is a link, as on robots that keep it on their data partition;
        // not root's: an undo must give it back to its owner and group, not just its mode.
        ::chmod(QFile::encodeName(at("/data/hostapd.conf")).constData(), 0640);
        s_owned = ::chown(QFile::encodeName(at("/data/hostapd.conf")).constData(), 4321, 8765) == 0;
        QFile::link(QStringLiteral("../data/hostapd.conf"), at("/etc/hostapd.conf"));
        QDir().mkpath(at("/etc/wpa_supplicant"));
        change().setTiming(1000, NetworkChange::kScriptLimitMs);
    }
    // No change of one test reaches into the next.
    void TearDown() override {
        EXPECT_TRUE(waitFor([] { return !change().isBusy(); }, 30000));
    }

    static void expectFilesAsBefore() {
        EXPECT_EQ(readFile(at("/etc/network/interfaces")), QByteArray(kInterfaces));
        EXPECT_EQ(readFile(at("/data/hostapd.conf")), s_hostapd);
        EXPECT_TRUE(QFileInfo(at("/etc/hostapd.conf")).isSymLink());
        struct stat status;
        ASSERT_EQ(::stat(QFile::encodeName(at("/data/hostapd.conf")).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0640u);
        EXPECT_TRUE(!s_owned || (status.st_uid == 4321u && status.st_gid == 8765u));
        EXPECT_FALSE(QFileInfo::exists(at("/etc/wpa_supplicant/wpa_supplicant.conf")));
    }
    static bool waitForPhase(Phase phase, const NetworkChange& which = change()) {
        return waitFor([&] { return which.status().phase == phase; }, 20000);
    }
    static inline bool s_owned = false;
    static inline QByteArray s_hostapd;
};

TEST_F(NetworkChangeTest,
       WithoutConfirmationTheScriptRunsAgainWithTheOldSettingsAndNoPassphraseIsLogged) {
    // clang-format off
    const std::tuple<QByteArray, Script, Runs> cases[] = {
        // Its script hangs: it is killed and the change undone.
        {R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":600})", Eth, {"dhcp", kEthUndo}},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"true","ssid":"far","wpaMode":"WPA2","passphrase":"n3w-s3cret1","confirmWithin":10})", Wlan,
         {"client|dhcp|far|WPA2|n3w-s3cret1", "master|lab|CCMP|old secret1"}},
        // The page's JSON may escape a key.
        {R"({"TYPE":"SetHostapd","ssid":"new","rsnPairwise":"TKIP","pass\u0070hrase":"n3w-s3cret2","confirmWithin":10})", Hostap, {"new|TKIP|n3w-s3cret2", "lab|CCMP|old secret2"}},
    };
    // clang-format on
    for (const auto& [query, script, runs] : cases) {
        SCOPED_TRACE(query.constData());
        SetUp();
        // Each its own passphrases: a log hides one for good once it has seen it.
        if (script != Eth) s_hostapd.replace("old secret", runs.last().split('|').last());
        writeFile(at("/data/hostapd.conf"), s_hostapd);
        // One second lasts 20 ms; the hanging script runs 300 ms at most.
        const bool hangs = query.contains("600");
        if (hangs) writeFile(scripts().path(QStringLiteral("eth.sh.hang")), "");
        change().setTiming(20, hangs ? 300 : NetworkChange::kScriptLimitMs);
        const QString log = env().logOf(100, [&] {
            std::thread([&] { reply(query); }).join();  // from a second thread, as in the daemon
            EXPECT_TRUE(waitForPhase(Phase::RolledBack));
            ScriptRunner::singleton()->deliverPending();
        });
        expectFilesAsBefore();
        EXPECT_EQ(runsOf(script), runs);
        // Not in the request's lines, nor in what the scripts print, nor in the undo's lines.
        EXPECT_TRUE(script == Eth || log.contains(QStringLiteral("***"))) << log.toStdString();
        EXPECT_FALSE(log.contains(QLatin1String("n3w-s3cret")) ||
                     log.contains(QLatin1String("old secret")))
            << log.toStdString();
    }
    // Nor for a change without confirmWithin (a passphrase no line has shown yet).
    const QString log = env().logOf(
        100, [] { run(R"({"TYPE":"SetHostapd","ssid":"new","passphrase":"pl41n-s3cret"})"); });
    EXPECT_TRUE(log.contains(QStringLiteral("was given: new  ***"))) << log.toStdString();
    EXPECT_FALSE(log.contains(QLatin1String("pl41n"))) << log.toStdString();
}

TEST_F(NetworkChangeTest,
       ConfirmedChangesStayOnceTheStateFileIsGoneUndoneOnesComeBackNothingElseGetsInTheWay) {
    const std::string nonePending = msg("NO NETWORK CHANGE PENDING", "ERR");
    const std::string stillRunning = msg("NETWORK CHANGE STILL RUNNING", "ERR");
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork"})"), nonePending);
    writeFile(scripts().path(QStringLiteral("eth.sh.slow")), "");
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    const JsonPtr begun =
        env().requestJson(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":600})");
    const std::string id = field(begun.get(), "changeId").toStdString();
    // Until the main thread has run the script, the change is running.
    EXPECT_EQ(reply(R"({"TYPE":"getNetworkChange"})"),
              R"({"pending":true,"changeId":)" + id +
                  R"(,"command":"SetEthConf","secondsLeft":600,"state":"running","TYPE":"DATA"})");
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork"})"), stillRunning);
    // Every set command is refused while one is pending, with or without confirmWithin.
    for (const char* query : {R"({"TYPE":"SetEthConf","DHCP":"true"})",
                              R"({"TYPE":"SetWlanConf","mode":"master","confirmWithin":60})",
                              R"({"TYPE":"SetHostapd","ssid":"a","passphrase":"b"})"}) {
        EXPECT_EQ(reply(query), msg("NETWORK CHANGE PENDING", "ERR")) << query;
    }
    ASSERT_TRUE(waitForPhase(Phase::Waiting));
    EXPECT_EQ(fileMode(state()), 0600u);
    // The time to confirm counts from the end of the script, which took a second.
    const JsonPtr saved(json_loads(readFile(state()).constData(), 0, nullptr));
    EXPECT_GE(json_integer_value(json_object_get(saved.get(), "deadline")), before + 601000);
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","changeId":"123"})"), nonePending);
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","undo":1})"), kInvalid);
    const QByteArray confirm =
        R"({"TYPE":"confirmNetwork","changeId":)" + QByteArray::fromStdString(id) + "}";
    // The state file cannot be removed (a folder stands in its place): the keep is refused (a
    // restart would undo the change) and the change goes on waiting.
    const QByteArray text = readFile(state());
    QFile::remove(state());
    writeFile(state() + QStringLiteral("/blocker"), "x");
    EXPECT_EQ(reply(confirm), msg("CANNOT KEEP THIS CHANGE", "ERR"));
    EXPECT_EQ(change().status().phase, Phase::Waiting);
    QDir(state()).removeRecursively();
    writeFile(state(), text);
    EXPECT_EQ(reply(confirm), R"({"TYPE":"ACK"})");
    EXPECT_FALSE(QFileInfo::exists(state()));
    EXPECT_EQ(readFile(at("/etc/network/interfaces")), "# changed by dhcp\n");
    const QByteArray kept = "iface eth0 inet dhcp\n";
    writeFile(at("/etc/network/interfaces"), kept);

    // The next change, undone at once: the kept settings come back, the first change stays. The
    // state file says so before the script runs (this thread runs it), so that a daemon killed
    // now undoes the change again when it starts.
    reply(R"({"TYPE":"SetEthConf","IP":"10.1.1.1","Netmask":"255.0.0.0","confirmWithin":10})");
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","undo":true})"), stillRunning);
    ASSERT_TRUE(waitForPhase(Phase::Waiting));
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","undo":true})"), R"({"TYPE":"ACK"})");
    EXPECT_TRUE(readFile(state()).contains(R"("state":"rolling back")"));
    ASSERT_TRUE(waitForPhase(Phase::RolledBack));
    EXPECT_EQ(readFile(at("/etc/network/interfaces")), kept);
    EXPECT_EQ(runsOf(Eth), (Runs{"dhcp", "static|10.1.1.1|255.0.0.0", "dhcp"}));
    EXPECT_FALSE(QFileInfo::exists(state()));
}

TEST_F(NetworkChangeTest, AChangeThatCannotBeUndoneIsRefusedBeforeAnythingRuns) {
    const QByteArray eth = R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":60})";
    const char* const interfaces = "/etc/network/interfaces";
    // clang-format off
    const std::tuple<const char*, QByteArray, QByteArray> cases[] = {
        {interfaces, "auto lo\niface lo inet loopback\n", eth},
        {interfaces, "iface eth0 inet manual\n  address 10.0.0.5\n  netmask 255.0.0.0\n", eth},
        // A pipe planted in place of the file must not hold the request thread.
        {interfaces, "<fifo>", eth},
        {interfaces, "iface eth0 inet6 static\n  address fd00::5/64\n", eth},
        {interfaces, "iface eth0 inet static\n  address 10.0.0.5\n", eth},
        {interfaces, "iface eth0 inet dhcp\niface eth0 inet static\n  address 10.0.0.5/8\n", eth},
        {interfaces, "iface eth0 inet dhcp\n#" + QByteArray(1 << 20, 'x') + "\n", eth},
        // The WLAN client's psk is its hash, not the passphrase the script takes.
        {"/etc/wpa_supplicant/wpa_supplicant.conf", "network={\n ssid=\"home\"\n psk=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n}\n",
         R"({"TYPE":"SetWlanConf","mode":"master","confirmWithin":60})"},
        {"/data/hostapd.conf", "ssid=lab\nwpa_psk=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n",
         R"({"TYPE":"SetHostapd","ssid":"a","passphrase":"b","confirmWithin":60})"},
    };
    // clang-format on
    for (const auto& [file, content, query] : cases) {
        SCOPED_TRACE((query + " " + content.left(60)).constData());
        SetUp();
        QFile::remove(at(file));
        if (content != "<fifo>")
            writeFile(at(file), content);
        else
            ASSERT_EQ(::mkfifo(QFile::encodeName(at(file)).constData(), 0600), 0);
        if (query.contains("SetWlanConf")) {
            writeFile(
                at(interfaces),
                "iface wlan0 inet dhcp\n  wpa-conf /etc/wpa_supplicant/wpa_supplicant.conf\n");
        }
        EXPECT_EQ(run(query),
                  std::tuple(msg("CANNOT UNDO THIS CHANGE", "ERR"), None, std::string()));
    }
}

// A daemon started again finds the state file (and what a write cut short left, the WLAN
// files' holding passphrases): a second NetworkChange plays the new daemon.
TEST_F(NetworkChangeTest,
       AfterARestartAChangeGetsTheRestOfItsTimeOrIsUndoneAndABadStateFileIsKeptAside) {
    const QStringList leftovers = {"/etc/network/.interfaces.AbC123", "/data/.hostapd.conf.q1W2e3",
                                   "/var/lib/webgated/network-change.json.Zz9Yy8"};
    // Neither a link of the same pattern nor what it leads to is a leftover of ours.
    const QStringList kept = {"/etc/network/.interfaces.toolong7", "/etc/network/interfaces.AbC123",
                              "/etc/network/.interfaces.Ab-123", "/etc/network/.interfaces.LiNk00"};
    // The state file of a change that waits, taken before it is kept.
    reply(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":10})");
    ASSERT_TRUE(waitForPhase(Phase::Waiting));
    const QByteArray saved = readFile(state());
    ASSERT_EQ(change().confirm(QString(), false), NetworkChange::Answer::Done);
    // `saved` with `key` (of its first file with `fileKey`) set to `value`.
    const auto edited = [&saved](const char* key, json_t* value, const char* fileKey = nullptr) {
        JsonPtr root(json_loads(saved.constData(), 0, nullptr));
        json_t* target =
            fileKey ? json_array_get(json_object_get(root.get(), "files"), 0) : root.get();
        json_object_set_new(target, fileKey ? fileKey : key, value);
        return jsonDump(root.get(), JSON_COMPACT);
    };
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    enum Outcome { UndoneAtOnce, Waits, KeptAside, LinkKeptAside };
    // clang-format off
    const std::pair<QByteArray, Outcome> cases[] = {
        {edited("deadline", json_integer(now - 1000)), UndoneAtOnce},
        {edited("state", json_string("running")), UndoneAtOnce},
        // Killed while it was being undone: undone again, even with time left.
        {edited("state", json_string("rolling back")), UndoneAtOnce},
        // A clock that was far behind at boot: no more than confirmWithin.
        {edited("deadline", json_integer(now + 3600 * 1000)), Waits},
        {"{\"changeId\":", KeptAside},
        {saved, LinkKeptAside},
        {edited("script", json_string("/bin/sh")), KeptAside},
        {edited("undoArgs", json_pack("[s]", "a\nb")), KeptAside},
        {edited("confirmWithin", json_integer(100000)), KeptAside},
        {edited(nullptr, json_string("/etc/shadow"), "path"), KeptAside},
        {edited(nullptr, json_string("!!"), "bytes"), KeptAside},
        {edited(nullptr, json_integer(010000), "mode"), KeptAside},
    };
    // clang-format on
    for (const auto& [content, outcome] : cases) {
        SCOPED_TRACE(content.left(80).constData());
        SetUp();
        writeFile(at("/etc/network/interfaces"), "# changed by dhcp\n");
        for (const QString& path : leftovers + kept.mid(0, 3))
            writeFile(env().path(path), "psk=secret\n");
        QFile::link(at("/etc/network/interfaces"), env().path(kept.last()));
        writeFile(outcome == LinkKeptAside ? at("/run/planted.json") : state(), content);
        if (outcome == LinkKeptAside) QFile::link(at("/run/planted.json"), state());
        NetworkChange restarted(*ScriptRunner::singleton());
        restarted.setTiming(20, NetworkChange::kScriptLimitMs);  // one second lasts 20 ms
        const QString log = env().logOf(1, [&] { restarted.resume(); });
        for (const QString& path : leftovers) {
            EXPECT_TRUE(!QFileInfo::exists(env().path(path)) && log.contains(path))
                << path.toStdString();
        }
        for (const QString& path : kept)
            EXPECT_TRUE(QFileInfo::exists(env().path(path))) << path.toStdString();
        const NetworkChange::Status status = restarted.status();
        if (outcome >= KeptAside) {
            EXPECT_EQ(status.phase, Phase::None);
            EXPECT_TRUE(QFileInfo(state() + QStringLiteral(".corrupt")).isSymLink() ||
                        readFile(state() + QStringLiteral(".corrupt")) == content);
            EXPECT_FALSE(QFileInfo::exists(state()));
            continue;
        }
        const bool waits = outcome == Waits;
        EXPECT_EQ(status.phase, waits ? Phase::Waiting : Phase::RollingBack);
        EXPECT_TRUE(!waits || (status.secondsLeft > 0 && status.secondsLeft <= 10))
            << status.secondsLeft;
        // Kept just before its deadline, it stays kept when the deadline passes.
        EXPECT_EQ(restarted.confirm(QString(), false),
                  waits ? NetworkChange::Answer::Done : NetworkChange::Answer::NonePending);
        EXPECT_TRUE(
            waitFor([&] { return !restarted.isBusy() && !restarted.isTimerActive(); }, 20000));
        ScriptRunner::singleton()->deliverPending();
        EXPECT_EQ(restarted.status().phase, waits ? Phase::Kept : Phase::RolledBack);
        EXPECT_EQ(runsOf(Eth), waits ? Runs() : Runs{kEthUndo});
        if (!waits) expectFilesAsBefore();
    }
}

}  // namespace
