// The daemon's figures: the text a strict reader of the Prometheus format accepts, every command
// listed from the start, counters that move with the requests, made-up command names that add no
// series, and the battery only while the robot reports it.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>
#include <cmath>

#include "BuildVersion.h"
#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "MetricsPage.h"
#include "TestRobot.h"
#include "Wait.h"
#include "robot/SensorDataHandler.h"

using testsupport::DaemonEnvironment;

namespace {

const QString kName = QStringLiteral("[a-zA-Z_:][a-zA-Z0-9_:]*");

// A value the text format accepts (Go's float syntax without hex or lower-case spellings).
bool readValue(const QString& text, double* value) {
    static const QRegularExpression number(QStringLiteral(R"(^[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?$)"));
    if (text == "+Inf" || text == "-Inf" || text == "NaN") {
        *value = text == "NaN" ? std::nan("") : text.startsWith('+') ? HUGE_VAL : -HUGE_VAL;
        return true;
    }
    bool ok = false;
    *value = text.toLatin1().toDouble(&ok);  // the C locale's reading, as any scraper's
    return ok && number.match(text).hasMatch();
}

// Every sample of a metrics text as "name{label=value,...}" (labels sorted) -> value.
// Fails the test on any line a strict reader refuses: only HELP and TYPE comments, a known type,
// one TYPE per family before its samples, a family's samples together, no series twice, quoted
// and escaped label values, a value that reads fully as a number, counters not negative.
QMap<QString, double> parsed(const QByteArray& bytes) {
    static const QRegularExpression comment(QStringLiteral("^# (HELP|TYPE) (%1) (.*)$").arg(kName));
    static const QRegularExpression sampleLine(QStringLiteral(R"(^(%1)(\{(.*)\})? (\S+)$)").arg(kName));
    static const QRegularExpression labelPair(
        QStringLiteral(R"re(\G([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\[\\"n])*)"(,|$))re"));
    static const QStringList types = {"counter", "gauge", "histogram", "summary", "untyped"};
    QMap<QString, double> samples;
    QMap<QString, QString> typeOf;
    QSet<QString> helped;
    QString family;  // the family whose samples may follow
    EXPECT_TRUE(bytes.endsWith('\n'));
    const QString text = QString::fromUtf8(bytes);
    for (const QString& line : text.split('\n').mid(0, text.count('\n'))) {
        const auto fail = [&](const char* why) { ADD_FAILURE() << why << ": " << line.toStdString(); };
        const QRegularExpressionMatch c = comment.match(line);
        if (c.hasMatch()) {
            const QString name = c.captured(2);
            if (c.captured(1) == "HELP") {
                if (helped.contains(name)) fail("second HELP");
                helped.insert(name);
            } else if (typeOf.contains(name) || !types.contains(c.captured(3))) {
                fail("second TYPE or unknown type");
            } else {
                typeOf.insert(name, c.captured(3));
                family = name;
            }
            continue;
        }
        const QRegularExpressionMatch s = sampleLine.match(line);
        double value = 0;
        if (!s.hasMatch() || !readValue(s.captured(4), &value)) {
            fail("not a sample");
            continue;
        }
        QString base = s.captured(1);
        if (typeOf.value(family) == "histogram") base.remove(QRegularExpression("_(bucket|sum|count)$"));
        if (base != family) fail("sample outside its family");
        if (typeOf.value(family) == "counter" && !(value >= 0)) fail("negative counter");
        if (s.captured(2) == "{}") fail("empty braces");
        QMap<QString, QString> labels;
        const QString labelText = s.captured(3);
        for (qsizetype at = 0; at < labelText.size();) {
            const QRegularExpressionMatch l = labelPair.match(labelText, at);  // \G: where the last pair ended
            if (!l.hasMatch() || labels.contains(l.captured(1)) ||
                (l.captured(3) == "," && l.capturedEnd() == labelText.size())) {
                fail("bad label");
                break;
            }
            labels.insert(l.captured(1), l.captured(2));
            at = l.capturedEnd();
        }
        QStringList pairs;
        for (auto it = labels.begin(); it != labels.end(); ++it) pairs << it.key() + '=' + it.value();
        const QString key = s.captured(1) + '{' + pairs.join(',') + '}';
        if (samples.contains(key)) fail("series twice");
        samples.insert(key, value);
    }
    return samples;
}

QByteArray metrics(DaemonEnvironment& env) {
    const QByteArray response = env.request(R"({"TYPE":"getMetrics"})");
    EXPECT_TRUE(response.startsWith(kMetricsHeader)) << response.left(80).constData();
    return response.mid(response.indexOf("\r\n\r\n") + 4);
}

}  // namespace

TEST(MetricsTest, ParsesStrictlyAndCountsRequestsWithoutNewSeriesForMadeUpNames) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    CommandTable fresh = webgatedCommands();  // a fresh table: nothing counted yet
    fresh.push_back(fresh.front());  // a name twice: only its first row counts
    env.fcgi().setCommandTable(fresh);
    const QMap<QString, double> before = parsed(metrics(env));
    for (const char* key : {"webgated_robot_link_up{}", "webgated_network_rollbacks_total{}",
                            "webgated_settings_saves_total{result=failed}"})
        EXPECT_TRUE(before.contains(key)) << key;
    EXPECT_GT(before.value("process_resident_memory_bytes{}"), 1e6);
    EXPECT_EQ(before.value(QString("webgated_build_info{qt=%1,version=%2}").arg(qVersion(), WEBGATED_VERSION)), 1);
    // Every command with every outcome, at 0 before its first use.
    for (const Command& row : env.fcgi().commandTable()) {
        for (int o = 0; o < static_cast<int>(RequestOutcome::Count); ++o) {
            const QString key = QString("webgated_requests_total{command=%1,result=%2}")
                                    .arg(row.name, RequestMetrics::label(static_cast<RequestOutcome>(o)));
            EXPECT_TRUE(before.contains(key) && before.value(key) == 0) << key.toStdString();
        }
    }

    for (const char* query :
         {R"({"TYPE":"getDistance"})", R"({"TYPE":"getDistance"})", R"({"TYPE":"HEARTBEAT"})", "not json"})
        env.request(query);
    for (int i = 0; i < 10000; ++i) env.request("{\"TYPE\":\"madeUp" + QByteArray::number(i) + "\"}");
    RequestHeaders foreign;
    foreign.host = "evil.example";
    env.fcgi().processRequest(R"({"TYPE":"getDistance"})", foreign);
    const QMap<QString, double> after = parsed(metrics(env));

    const auto moved = [&](const char* key) { return after.value(key) - before.value(key); };
    EXPECT_EQ(moved("webgated_requests_total{command=getDistance,result=data}"), 2);
    EXPECT_EQ(moved("webgated_requests_total{command=getDistance,result=refused_host}"), 1);
    EXPECT_EQ(moved("webgated_refused_requests_total{reason=host}"), 1);
    EXPECT_EQ(moved("webgated_requests_total{command=HEARTBEAT,result=ack}"), 1);
    EXPECT_EQ(moved("webgated_requests_total{command=unknown,result=no_json}"), 1);
    EXPECT_EQ(moved("webgated_requests_total{command=unknown,result=unknown_command}"), 10000);
    // The first getMetrics, a raw reply, is counted in the second.
    EXPECT_EQ(moved("webgated_requests_total{command=getMetrics,result=raw}"), 1);
    EXPECT_EQ(moved("webgated_request_duration_seconds_count{}"), 10005 + 1);
    EXPECT_GE(after.value("webgated_heartbeat_age_seconds{}"), 0);  // the heartbeat counts
    // Command labels come from the table alone: the made-up names added no series of their own.
    EXPECT_EQ(after.keys(), before.keys());
}

TEST(MetricsTest, ShowsTheBatteryOnlyWhileTheRobotReportsIt) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    const auto battery = [&] {
        QStringList lines;
        for (const QByteArray& line : metrics(env).split('\n')) {
            if (line.startsWith("webgated_battery_")) lines << QString::fromLatin1(line);
        }
        return lines.join('|').toStdString();
    };
    testsupport::TestRobot robot;
    ASSERT_TRUE(env.connectTo(robot));
    EXPECT_EQ(battery(), "") << "no reading yet";
    env.fcgi().context().sensors.on_battery_changed(31.807f, 1, false, 0, "LiFe", true, 0);
    // A float's own shortest text, not its double's digits.
    EXPECT_EQ(battery(), "webgated_battery_voltage_volts 31.807|webgated_battery_low 1");
    robot.disconnectClients();
    ASSERT_TRUE(testsupport::waitFor([&] { return !env.fcgi().isRobotConnected(); }));
    EXPECT_EQ(battery(), "") << "the robot is gone";
}

TEST(MetricsTest, LatencyBucketsAreCumulativeAndInfEqualsTheCount) {
    RequestMetrics metrics({"a"});
    // 0.1 ms, 3 ms twice, 5 ms (on a bound, which is inclusive) and 7 s.
    for (const qint64 ns : {100000LL, 3000000LL, 3000000LL, 5000000LL, 7000000000LL})
        metrics.count(0, RequestOutcome::Ack, ns);
    std::string text;
    metrics.appendText(text);
    QList<double> buckets;
    for (const QByteArray& line : QByteArray::fromStdString(text).split('\n')) {
        if (line.startsWith("webgated_request_duration_seconds_bucket")) buckets << line.split(' ').last().toDouble();
    }
    EXPECT_EQ(buckets, (QList<double>{1, 1, 1, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5}));
    const QMap<QString, double> samples = parsed(QByteArray::fromStdString(text));
    EXPECT_EQ(samples.value("webgated_request_duration_seconds_bucket{le=+Inf}"), 5);
    EXPECT_EQ(samples.value("webgated_request_duration_seconds_count{}"), 5);
}
