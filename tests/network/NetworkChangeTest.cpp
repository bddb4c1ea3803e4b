// Network changes that undo themselves, through the request function, with stand-in scripts
// that rewrite the network files: undone without a confirmation (owner and group back too), kept
// with one, undone on request, a hung script, changes that cannot be undone, the state file
// across a restart (an undo cut short is done again), a keep that cannot be made lasting, the
// leftovers of a write cut short, and no passphrase in any log line.
// ctest: threads timeout=240
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <thread>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "ProcessSandbox.h"
#include "Wait.h"
#include "network/NetworkChange.h"
#include "process/ScriptRunner.h"

using testsupport::field;
using testsupport::waitFor;
using Phase = NetworkChange::Phase;

namespace {

testsupport::DaemonEnvironment& env() { return testsupport::DaemonEnvironment::instance(); }
NetworkChange& change() { return env().fcgi().context().network; }

const char kInterfaces[] =
    "auto lo\niface lo inet loopback\n\nallow-hotplug eth0\niface eth0 inet static\n"
    "    address 10.0.0.5/24\n    gateway 10.0.0.1\n\nauto wlan0\niface wlan0 inet static\n"
    "    address 192.168.0.1\n    netmask 255.255.255.0\n"
    "    post-up /usr/local/bin/start-wlan0-master.sh\n";
const char kHostapd[] = "interface=wlan0\nssid=\"lab\"\nrsn_pairwise=CCMP\nwpa_passphrase=\"old secret\"\n";

struct Files {
    QString interfaces = env().path(QStringLiteral("/etc/network/interfaces"));
    QString wpa = env().path(QStringLiteral("/etc/wpa_supplicant/wpa_supplicant.conf"));
    // The access point's file is a link, as on robots that keep it on their data partition.
    QString hostapd = env().path(QStringLiteral("/etc/hostapd.conf"));
    QString hostapdTarget = env().path(QStringLiteral("/data/hostapd.conf"));
};

// Stand-ins for the three scripts: each notes its arguments ("|" between them) in <script>.runs,
// hangs once when <script>.hang exists, and overwrites the files it changes.
const testsupport::ProcessSandbox& scripts() {
    static testsupport::ProcessSandbox* sandbox = [] {
        auto* box = new testsupport::ProcessSandbox();
        const Files f;
        // The eth0 script writes a stanza a later change can undo again.
        const auto body = [&f](const QStringList& files) {
            QByteArray text = "(IFS='|'; printf '%s\\n' \"$*\") >>\"$0.runs\"\n"
                              "echo \"$0 was given: $*\"\n"
                              "if [ -e \"$0.slow\" ]; then sleep 1; fi\n"
                              "if [ -e \"$0.hang\" ]; then rm \"$0.hang\"; sleep 1000; fi\n";
            for (const QString& file : files) {
                text += "printf '# changed by %s\\n' \"$*\" >'" + file.toUtf8() + "'\n";
            }
            if (files == QStringList{f.interfaces}) {
                text += "printf 'iface eth0 inet %s\\n' \"$1\" >>'" + f.interfaces.toUtf8() + "'\n"
                        "[ \"$1\" = static ] && printf ' address %s\\n netmask %s\\n' \"$2\" \"$3\" >>'" +
                        f.interfaces.toUtf8() + "'\n";
            }
            return text;
        };
        QByteArray config = "[Scripts]\nsudo=/usr/bin/env\n";
        config += "reconfigure_eth0_script=" + box->writeScript("eth.sh", body({f.interfaces})).toUtf8();
        config += "\nreconfigure_wlan0_script=" +
                  box->writeScript("wlan.sh", body({f.interfaces, f.wpa, f.hostapd})).toUtf8();
        config += "\nmod_hostap_script=" + box->writeScript("hostap.pl", body({f.hostapd})).toUtf8();
        env().setConfig(config + '\n');
        return box;
    }();
    return *sandbox;
}

QStringList runsOf(const char* script) {
    return QString::fromUtf8(scripts().readFile(QLatin1String(script) + QStringLiteral(".runs")))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString state() { return env().path(NetworkChange::statePath()); }

class NetworkChangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripts();
        for (const char* script : {"eth.sh", "wlan.sh", "hostap.pl"}) {
            QFile::remove(scripts().path(QLatin1String(script) + QStringLiteral(".runs")));
            QFile::remove(scripts().path(QLatin1String(script) + QStringLiteral(".slow")));
        }
        QDir(env().path(QStringLiteral("/etc"))).removeRecursively();
        QDir(env().path(QStringLiteral("/var/lib"))).removeRecursively();
        const Files f;
        testsupport::writeFile(f.interfaces, kInterfaces);
        testsupport::writeFile(f.hostapdTarget, kHostapd);
        ::chmod(QFile::encodeName(f.hostapdTarget).constData(), 0640);
        // Not root's: an undo must give the file back to its owner and group, not just its mode.
        s_owned = ::chown(QFile::encodeName(f.hostapdTarget).constData(), 4321, 8765) == 0;
        QFile::link(QStringLiteral("../data/hostapd.conf"), f.hostapd);
        QDir().mkpath(env().path(QStringLiteral("/etc/wpa_supplicant")));
        change().setTiming(1000, NetworkChange::kScriptLimitMs);
    }
    void TearDown() override {
        // No change of one test reaches into the next.
        EXPECT_TRUE(waitFor([] { return !change().isBusy(); }, 30000));
    }

    // The files as the test set them up; false (with a message) where they differ.
    static void expectFilesAsBefore() {
        const Files f;
        EXPECT_EQ(testsupport::readFile(f.interfaces), QByteArray(kInterfaces));
        EXPECT_EQ(testsupport::readFile(f.hostapdTarget), QByteArray(kHostapd));
        EXPECT_TRUE(QFileInfo(f.hostapd).isSymLink());
        struct stat status;
        ASSERT_EQ(::stat(QFile::encodeName(f.hostapdTarget).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0640u);
        if (s_owned) {
            EXPECT_EQ(std::pair(status.st_uid, status.st_gid), std::pair(4321u, 8765u));
        }
        EXPECT_FALSE(QFileInfo::exists(f.wpa));
    }
    static inline bool s_owned = false;
};

JsonPtr json(const QByteArray& query) { return env().requestJson(query); }

TEST_F(NetworkChangeTest, WithoutConfirmationTheScriptRunsAgainWithTheOldSettingsAndTheFilesComeBack) {
    struct Case {
        QByteArray query;
        const char* script;
        const char* args;
        const char* undoArgs;
    };
    // clang-format off
    const Case cases[] = {
        {R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":10})", "eth.sh", "dhcp", "static|10.0.0.5|255.255.255.0"},
        {R"({"TYPE":"SetWlanConf","mode":"client","DHCP":"true","ssid":"far","wpaMode":"WPA2","passphrase":"new pw","confirmWithin":10})", "wlan.sh",
         "client|dhcp|far|WPA2|new pw", "master|lab|CCMP|old secret"},
        {R"({"TYPE":"SetHostapd","ssid":"new","rsnPairwise":"TKIP","passphrase":"new pw","confirmWithin":10})", "hostap.pl", "new|TKIP|new pw", "lab|CCMP|old secret"},
    };
    // clang-format on
    // One second lasts 20 ms here; the requests come from a second thread, as in the daemon.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.query.constData());
        SetUp();
        change().setTiming(20, NetworkChange::kScriptLimitMs);
        JsonPtr reply;
        std::thread requestThread([&] { reply = json(c.query); });
        requestThread.join();
        const QByteArray id = field(reply.get(), "changeId");
        ASSERT_EQ(id.size(), 18) << id.constData();  // 16 hex digits in quotes
        const QString log = env().logOf(1, [] {
            EXPECT_TRUE(waitFor([] { return change().status().phase == Phase::RolledBack; }, 20000));
        });
        expectFilesAsBefore();
        EXPECT_EQ(runsOf(c.script), (QStringList{QLatin1String(c.args), QLatin1String(c.undoArgs)}));
        EXPECT_FALSE(QFileInfo::exists(state()));
        EXPECT_TRUE(log.contains(QStringLiteral("not confirmed in time: ran "))) << log.toStdString();
        const JsonPtr status = json(R"({"TYPE":"getNetworkChange"})");
        EXPECT_EQ(field(status.get(), "changeId"), id);
        EXPECT_EQ(field(status.get(), "state"), "\"rolled back\"");
        EXPECT_EQ(field(status.get(), "pending"), "false");
    }
}

TEST_F(NetworkChangeTest, ConfirmedChangesStayUndoneOnesComeBackAndNothingElseGetsInTheWay) {
    const auto reply = [](const QByteArray& query) { return env().reply(query).toStdString(); };
    const std::string nonePending = R"({"MSG":"NO NETWORK CHANGE PENDING","TYPE":"ERR"})";
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork"})"), nonePending);
    const JsonPtr begun = json(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":600})");
    const QByteArray id = field(begun.get(), "changeId");
    EXPECT_EQ(field(begun.get(), "MSG"), "\"try setting eth0 dhcp\"");
    // Until the main thread has run the script, the change is running.
    const JsonPtr running = json(R"({"TYPE":"getNetworkChange"})");
    EXPECT_EQ(jsonDump(running.get(), JSON_COMPACT | JSON_SORT_KEYS).toStdString(),
              R"({"TYPE":"DATA","changeId":)" + id.toStdString() +
                  R"(,"command":"SetEthConf","pending":true,"secondsLeft":600,"state":"running"})");
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork"})"),
              R"({"MSG":"NETWORK CHANGE STILL RUNNING","TYPE":"ERR"})");
    // Every set command is refused while one is pending, with or without confirmWithin.
    const std::string refused = R"({"MSG":"NETWORK CHANGE PENDING","TYPE":"ERR"})";
    for (const char* query : {R"({"TYPE":"SetEthConf","DHCP":"true"})",
                              R"({"TYPE":"SetWlanConf","mode":"master","confirmWithin":60})",
                              R"({"TYPE":"SetHostapd","ssid":"a","passphrase":"b"})"}) {
        EXPECT_EQ(reply(query), refused) << query;
    }
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::Waiting; }, 20000));
    const QByteArray saved = testsupport::readFile(state());
    EXPECT_EQ(testsupport::fileMode(state()), 0600u);
    EXPECT_TRUE(saved.contains("\"undoArgs\":[\"static\",\"10.0.0.5\",\"255.255.255.0\"]"));
    const int left = change().status().secondsLeft;
    EXPECT_TRUE(left > 0 && left <= 600) << left;
    EXPECT_EQ(reply(R"({"TYPE":"SetEthConf","DHCP":"true"})"), refused);
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","changeId":"123"})"), nonePending);
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","undo":1})"), testsupport::kReplyInvalid.toStdString());
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","changeId":)" + id + "}"), R"({"TYPE":"ACK"})");
    EXPECT_EQ(change().status().stateName(), QStringLiteral("kept"));
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","changeId":)" + id + "}"), nonePending);
    EXPECT_FALSE(QFileInfo::exists(state()));
    const QByteArray kept = "# changed by dhcp\niface eth0 inet dhcp\n";
    EXPECT_EQ(testsupport::readFile(Files().interfaces), kept);

    // The next change, undone at once: the kept settings come back, the first change stays.
    const JsonPtr second = json(R"({"TYPE":"SetEthConf","IP":"10.1.1.1","Netmask":"255.0.0.0","confirmWithin":10})");
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","undo":true})"),
              R"({"MSG":"NETWORK CHANGE STILL RUNNING","TYPE":"ERR"})");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::Waiting; }, 20000));
    EXPECT_EQ(reply(R"({"TYPE":"confirmNetwork","undo":true})"), R"({"TYPE":"ACK"})");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::RolledBack; }, 20000));
    EXPECT_EQ(testsupport::readFile(Files().interfaces), kept);
    EXPECT_EQ(runsOf("eth.sh"), (QStringList{"dhcp", "static|10.1.1.1|255.0.0.0", "dhcp"}));
    EXPECT_FALSE(QFileInfo::exists(state()));

    // Kept just before its deadline: the deadline passes and it stays kept.
    change().setTiming(20, NetworkChange::kScriptLimitMs);
    json(R"({"TYPE":"SetHostapd","ssid":"new","passphrase":"pw","confirmWithin":10})");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::Waiting; }, 20000));
    EXPECT_EQ(change().confirm(QString(), false), NetworkChange::Answer::Done);
    EXPECT_TRUE(waitFor([] { return !change().isTimerActive(); }, 20000));
    ScriptRunner::singleton()->deliverPending();
    EXPECT_EQ(change().status().phase, Phase::Kept);
    EXPECT_EQ(runsOf("hostap.pl"), QStringList{"new||pw"});
}

TEST_F(NetworkChangeTest, AScriptThatHangsIsKilledAndItsChangeUndone) {
    change().setTiming(1000, 300);
    testsupport::writeFile(scripts().path(QStringLiteral("eth.sh.hang")), "");
    EXPECT_EQ(field(json(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":600})").get(), "MSG"),
              "\"try setting eth0 dhcp\"");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::RolledBack; }, 30000));
    expectFilesAsBefore();
    EXPECT_EQ(runsOf("eth.sh"), (QStringList{"dhcp", "static|10.0.0.5|255.255.255.0"}));
}

TEST_F(NetworkChangeTest, AChangeThatCannotBeUndoneIsRefusedBeforeAnythingRuns) {
    const QByteArray tooLarge = "iface eth0 inet dhcp\n#" + QByteArray(1 << 20, 'x') + "\n";
    const QByteArray clientStanza = "iface wlan0 inet dhcp\n  wpa-conf /etc/wpa_supplicant/wpa_supplicant.conf\n";
    const QByteArray cannot = R"({"MSG":"CANNOT UNDO THIS CHANGE","TYPE":"ERR"})";
    struct Case {
        const char* file;
        QByteArray content;
        QByteArray query;
        QByteArray reply;
    };
    const QByteArray eth = R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":60})";
    // clang-format off
    const Case cases[] = {
        {"/etc/network/interfaces", "auto lo\niface lo inet loopback\n", eth, cannot},
        {"/etc/network/interfaces", "iface eth0 inet manual\n  address 10.0.0.5\n  netmask 255.0.0.0\n", eth, cannot},
        {"/etc/network/interfaces", "<fifo>", eth, cannot},
        {"/etc/network/interfaces", "iface eth0 inet6 static\n  address fd00::5/64\n", eth, cannot},
        {"/etc/network/interfaces", "iface eth0 inet static\n  address 10.0.0.5\n", eth, cannot},
        {"/etc/network/interfaces", "iface eth0 inet dhcp\niface eth0 inet6 auto\n", eth, cannot},
        {"/etc/network/interfaces", tooLarge, eth, cannot},
        {"/etc/wpa_supplicant/wpa_supplicant.conf", "network={\n ssid=\"home\"\n psk=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n}\n",
         R"({"TYPE":"SetWlanConf","mode":"master","confirmWithin":60})", cannot},
        {"/data/hostapd.conf", "ssid=lab\nwpa_psk=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\n",
         R"({"TYPE":"SetHostapd","ssid":"a","passphrase":"b","confirmWithin":60})", cannot},
        {"/etc/network/interfaces", kInterfaces, R"({"TYPE":"SetEthConf","confirmWithin":9})", testsupport::kReplyInvalid},
        {"/etc/network/interfaces", kInterfaces, R"({"TYPE":"SetEthConf","confirmWithin":601})", testsupport::kReplyInvalid},
        {"/etc/network/interfaces", kInterfaces, R"({"TYPE":"SetEthConf","confirmWithin":"60"})", testsupport::kReplyInvalid},
        {"/etc/network/interfaces", kInterfaces, R"({"TYPE":"SetEthConf","confirmWithin":60.0})", testsupport::kReplyInvalid},
    };
    // clang-format on
    for (const Case& c : cases) {
        SetUp();
        const QString file = env().path(QLatin1String(c.file));
        if (c.content == "<fifo>") {
            // A pipe planted in place of the file must not hold the request thread.
            QFile::remove(file);
            ASSERT_EQ(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
        } else {
            testsupport::writeFile(file, c.content);
        }
        // The WLAN client case: its stanza says client.
        if (c.query.contains("SetWlanConf")) testsupport::writeFile(Files().interfaces, clientStanza);
        EXPECT_EQ(env().reply(c.query), c.reply) << c.query.constData() << " " << c.content.left(60).constData();
        ScriptRunner::singleton()->deliverPending();
        EXPECT_FALSE(change().isBusy());
        EXPECT_FALSE(QFileInfo::exists(state()));
        for (const char* script : {"eth.sh", "wlan.sh", "hostap.pl"}) {
            EXPECT_FALSE(ScriptRunner::singleton()->hasProcess(scripts().path(QLatin1String(script))));
        }
    }
}

// A daemon started again finds the state file: this second NetworkChange plays the new daemon.
TEST_F(NetworkChangeTest, AfterARestartAChangeGetsTheRestOfItsTimeOrIsUndoneAndABadStateFileIsKeptAside) {
    // The state file of a change that waits, taken before it is kept.
    json(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":10})");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::Waiting; }, 20000));
    const QByteArray saved = testsupport::readFile(state());
    ASSERT_EQ(change().confirm(QString(), false), NetworkChange::Answer::Done);
    const auto edit = [](const QByteArray& text, const char* key, json_t* value, const char* fileKey = nullptr) {
        JsonPtr root(json_loads(text.constData(), 0, nullptr));
        json_t* target = fileKey ? json_array_get(json_object_get(root.get(), "files"), 0) : root.get();
        json_object_set_new(target, fileKey ? fileKey : key, value);
        return jsonDump(root.get(), JSON_COMPACT);
    };
    const auto edited = [&](const char* key, json_t* value, const char* fileKey = nullptr) {
        return edit(saved, key, value, fileKey);
    };
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    enum Outcome { UndoneAtOnce, Waits, KeptAside };
    struct Case {
        QByteArray content;
        Outcome outcome;
        bool link = false;
    };
    // clang-format off
    const Case cases[] = {
        {edited("deadline", json_integer(now - 1000)), UndoneAtOnce},
        {edited("state", json_string("running")), UndoneAtOnce},
        // Killed while it was being undone: undone again, even with time left.
        {edited("state", json_string("rolling back")), UndoneAtOnce},
        // A clock that was far behind at boot: no more than confirmWithin.
        {edit(edited("confirmWithin", json_integer(10)), "deadline", json_integer(now + 3600 * 1000)), Waits},
        {"{\"changeId\":", KeptAside},
        {"", KeptAside},
        {saved, KeptAside, true},
        {edited("script", json_string("/bin/sh")), KeptAside},
        {edited("undoArgs", json_pack("[s]", "a\nb")), KeptAside},
        {edited("confirmWithin", json_integer(100000)), KeptAside},
        {edited(nullptr, json_string("/etc/shadow"), "path"), KeptAside},
        {edited(nullptr, json_string("!!"), "bytes"), KeptAside},
        {edited(nullptr, json_integer(010000), "mode"), KeptAside},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.left(80).constData());
        SetUp();
        testsupport::writeFile(Files().interfaces, "# changed by dhcp\niface eth0 inet dhcp\n");
        QFile::remove(state() + QStringLiteral(".corrupt"));
        if (c.link) {
            testsupport::writeFile(env().path(QStringLiteral("/run/planted.json")), c.content);
            QDir().mkpath(env().path(QStringLiteral("/var/lib/webgated")));
            QFile::link(env().path(QStringLiteral("/run/planted.json")), state());
        } else {
            testsupport::writeFile(state(), c.content);
        }
        NetworkChange restarted(*ScriptRunner::singleton());
        const QString log = env().logOf(0, [&] { restarted.resume(); });
        const NetworkChange::Status status = restarted.status();
        if (c.outcome == KeptAside) {
            EXPECT_EQ(status.phase, Phase::None);
            EXPECT_TRUE(QFileInfo(state() + QStringLiteral(".corrupt")).isSymLink() ||
                        testsupport::readFile(state() + QStringLiteral(".corrupt")) == c.content);
            EXPECT_TRUE(log.contains(QStringLiteral("cannot be used"))) << log.toStdString();
            EXPECT_FALSE(QFileInfo::exists(state()));
            continue;
        }
        if (c.outcome == Waits) {
            EXPECT_EQ(status.phase, Phase::Waiting);
            EXPECT_TRUE(status.secondsLeft > 0 && status.secondsLeft <= 10) << status.secondsLeft;
            EXPECT_EQ(restarted.confirm(QString(), true), NetworkChange::Answer::Done);
        } else {
            EXPECT_EQ(status.phase, Phase::RollingBack);
            EXPECT_EQ(restarted.confirm(QString(), false), NetworkChange::Answer::NonePending);
        }
        EXPECT_TRUE(waitFor([&] { return restarted.status().phase == Phase::RolledBack; }, 20000));
        expectFilesAsBefore();
        EXPECT_EQ(runsOf("eth.sh"), QStringList{"static|10.0.0.5|255.255.255.0"});
    }
}

TEST_F(NetworkChangeTest, AnUndoIsNotedBeforeItsScriptRunsAndAKeepThatCannotLastIsRefused) {
    change().setTiming(1000, 300);
    json(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":600})");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::Waiting; }, 20000));
    // The state file cannot be removed (a folder stands in its place): the keep is refused with
    // a reason in the log, and the change goes on waiting.
    const QByteArray saved = testsupport::readFile(state());
    QFile::remove(state());
    testsupport::writeFile(state() + QStringLiteral("/blocker"), "x");
    QString log = env().logOf(0, [] {
        EXPECT_EQ(env().reply(R"({"TYPE":"confirmNetwork"})"), R"({"MSG":"CANNOT KEEP THIS CHANGE","TYPE":"ERR"})");
    });
    EXPECT_TRUE(log.contains(QStringLiteral("cannot be kept: cannot remove /var/lib/webgated/network-change.json")))
        << log.toStdString();
    EXPECT_EQ(change().status().stateName(), QStringLiteral("waiting"));
    EXPECT_GT(change().status().secondsLeft, 0);
    QDir(state()).removeRecursively();
    testsupport::writeFile(state(), saved);

    // The undo's script hangs: the state file says so before it runs, and a daemon killed now
    // undoes the change again when it starts.
    testsupport::writeFile(scripts().path(QStringLiteral("eth.sh.hang")), "");
    EXPECT_EQ(env().reply(R"({"TYPE":"confirmNetwork","undo":true})"), R"({"TYPE":"ACK"})");
    EXPECT_TRUE(testsupport::readFile(state()).contains(R"("state":"rolling back")"));
    const QByteArray during = testsupport::readFile(state());
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::RolledBack; }, 20000));
    expectFilesAsBefore();
    testsupport::writeFile(Files().interfaces, "# changed by dhcp\niface eth0 inet dhcp\n");
    testsupport::writeFile(state(), during);
    NetworkChange restarted(*ScriptRunner::singleton());
    restarted.resume();
    EXPECT_EQ(restarted.confirm(QString(), false), NetworkChange::Answer::NonePending);
    ASSERT_TRUE(waitFor([&] { return restarted.status().phase == Phase::RolledBack; }, 20000));
    expectFilesAsBefore();
}

TEST_F(NetworkChangeTest, TheTimeToConfirmCountsFromTheScriptsEnd) {
    testsupport::writeFile(scripts().path(QStringLiteral("eth.sh.slow")), "");
    json(R"({"TYPE":"SetEthConf","DHCP":"true","confirmWithin":10})");
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::Waiting; }, 20000));
    EXPECT_GE(change().status().secondsLeft, 9);
    EXPECT_EQ(change().confirm(QString(), true), NetworkChange::Answer::Done);
    ASSERT_TRUE(waitFor([] { return change().status().phase == Phase::RolledBack; }, 20000));
}

TEST_F(NetworkChangeTest, AStartRemovesWhatAWriteCutShortLeftAndNothingElse) {
    const QStringList leftovers = {"/etc/network/.interfaces.AbC123", "/data/.hostapd.conf.q1W2e3",
                                   "/var/lib/webgated/network-change.json.Zz9Yy8"};
    const QStringList kept = {"/etc/network/.interfaces.toolong7", "/etc/network/interfaces.AbC123",
                              "/etc/network/.interfaces.Ab-123"};
    for (const QString& path : leftovers + kept) testsupport::writeFile(env().path(path), "psk=secret\n");
    // A link of the same pattern is no leftover of ours, and what it leads to is left alone.
    QFile::link(env().path(QStringLiteral("/etc/network/interfaces")),
                env().path(QStringLiteral("/etc/network/.interfaces.LiNk00")));
    NetworkChange restarted(*ScriptRunner::singleton());
    const QString log = env().logOf(1, [&] { restarted.resume(); });
    for (const QString& path : leftovers) {
        EXPECT_FALSE(QFileInfo::exists(env().path(path))) << path.toStdString();
        EXPECT_TRUE(log.contains(path)) << log.toStdString();
    }
    for (const QString& path : kept) EXPECT_TRUE(QFileInfo::exists(env().path(path))) << path.toStdString();
    EXPECT_TRUE(QFileInfo(env().path(QStringLiteral("/etc/network/.interfaces.LiNk00"))).isSymLink());
    EXPECT_EQ(testsupport::readFile(Files().interfaces), QByteArray(kInterfaces));
}

TEST_F(NetworkChangeTest, NoPassphraseReachesAnyLogLine) {
    change().setTiming(20, NetworkChange::kScriptLimitMs);
    // Each way a page or a script might write it; the old passphrase comes from the files. (That
    // both still reach the scripts is the undo test's.)
    const QByteArray queries[] = {
        R"({"TYPE":"SetHostapd","ssid":"new","rsnPairwise":"CCMP","passphrase":"n3w-s3cret","confirmWithin":10})",
        R"({"TYPE":"SetHostapd","ssid":"new","rsnPairwise":"CCMP","pass\u0070hrase":"n3w-s3cret","confirmWithin":10})",
        R"({"TYPE":"SetHostapd","ssid":"new","rsnPairwise":"CCMP","passphrase":"n3w-s3cret")",
    };
    for (const QByteArray& query : queries) {
        SCOPED_TRACE(query.constData());
        SetUp();
        change().setTiming(20, NetworkChange::kScriptLimitMs);
        const QString log = env().logOf(100, [&] {
            env().reply(query);
            waitFor([] { return !change().isBusy(); }, 20000);
            ScriptRunner::singleton()->deliverPending();
        });
        EXPECT_TRUE(log.contains(QStringLiteral("***"))) << log.toStdString();
        for (const char* secret : {"n3w-s3cret", "old secret"}) {
            EXPECT_FALSE(log.contains(QLatin1String(secret))) << secret << "\n" << log.toStdString();
        }
    }
}

}  // namespace
