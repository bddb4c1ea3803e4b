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
    static const QRegularExpression number(
        QStringLiteral(R"(^[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?$)"));
    if (text == QLatin1String("+Inf") || text == QLatin1String("-Inf") ||
        text == QLatin1String("NaN")) {
        *value = text == QLatin1String("NaN") ? std::nan("")
                 : text.startsWith('+')       ? HUGE_VAL
                                              : -HUGE_VAL;
        return true;
    }
    if (!number.match(text).hasMatch()) return false;
    bool ok = false;
    *value = text.toLatin1().toDouble(&ok);  // the C locale's reading, as any scraper's
    return ok;
}

// True if `text` carries no more significant digits than its number needs to read back the same.
bool isShortest(const QString& text, double value) {
    if (!std::isfinite(value)) return true;
    QString digits = text.section(QRegularExpression(QStringLiteral("[eE]")), 0, 0);
    digits.remove(QRegularExpression(QStringLiteral("[^0-9]")));
    while (digits.startsWith('0')) digits.remove(0, 1);
    while (digits.endsWith('0')) digits.chop(1);
    int needed = 1;
    while (needed < 17 && QByteArray::number(value, 'g', needed).toDouble() != value) ++needed;
    return digits.size() <= needed;
}

QString unescaped(const QString& value) {
    QString out;
    bool escaped = false;
    for (const QChar c : value) {
        if (escaped)
            out += c == QLatin1Char('n') ? QChar(u'\n') : c;
        else if (c != QLatin1Char('\\'))
            out += c;
        escaped = !escaped && c == QLatin1Char('\\');
    }
    return out;
}

// Every sample of a metrics text as "name{label=value,...}" (labels sorted, unescaped) -> value.
// Fails the test on any line a strict reader refuses: only HELP and TYPE comments, a known type,
// one TYPE per family before its samples, a family's samples together, no series twice, quoted
// and escaped label values, a value that reads fully as a number (and carries no needless
// digits), counters not negative, histogram buckets cumulative up to le="+Inf" equal to _count.
QMap<QString, double> parsed(const QByteArray& bytes) {
    static const QRegularExpression comment(QStringLiteral("^# (HELP|TYPE) (%1) (.*)$").arg(kName));
    static const QRegularExpression sampleLine(
        QStringLiteral(R"(^(%1)(\{(.*)\})? (\S+)$)").arg(kName));
    static const QRegularExpression labelPair(
        QStringLiteral(R"re(\G([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\[\\"n])*)"(,|$))re"));
    static const QStringList types = {"counter", "gauge", "histogram", "summary", "untyped"};
    QMap<QString, double> samples;
    QMap<QString, QString> typeOf;
    QSet<QString> helped;
    QString family;  // the family whose samples may follow
    struct Bucket {
        double le = -HUGE_VAL;
        double count = 0;
    };
    QMap<QString, Bucket> lastBucket;  // of each histogram series
    EXPECT_TRUE(bytes.endsWith('\n'));
    const QString text = QString::fromUtf8(bytes);
    for (const QString& line : text.split('\n').mid(0, text.count('\n'))) {
        const auto fail = [&](const char* why) {
            ADD_FAILURE() << why << ": " << line.toStdString();
        };
        const QRegularExpressionMatch c = comment.match(line);
        if (c.hasMatch()) {
            if (c.captured(1) == QLatin1String("HELP")) {
                if (helped.contains(c.captured(2))) fail("second HELP");
                helped.insert(c.captured(2));
            } else if (typeOf.contains(c.captured(2)) || !types.contains(c.captured(3))) {
                fail("second TYPE or unknown type");
            } else {
                typeOf.insert(c.captured(2), c.captured(3));
                family = c.captured(2);
            }
            continue;
        }
        const QRegularExpressionMatch s = sampleLine.match(line);
        double value = 0;
        if (!s.hasMatch() || !readValue(s.captured(4), &value)) {
            fail("not a sample");
            continue;
        }
        if (!isShortest(s.captured(4), value)) fail("needless digits");
        const QString name = s.captured(1);
        QString base = name;
        const bool histogram = typeOf.value(family) == QLatin1String("histogram");
        if (histogram) base.remove(QRegularExpression(QStringLiteral("_(bucket|sum|count)$")));
        if (base != family) fail("sample outside its family");
        QMap<QString, QString> labels;
        const QString labelText = s.captured(3);
        for (qsizetype at = 0; at < labelText.size();) {
            const QRegularExpressionMatch l =
                labelPair.match(labelText, at);  // \G: where the last pair ended
            if (!l.hasMatch() || labels.contains(l.captured(1)) ||
                (l.captured(3) == QLatin1String(",") && l.capturedEnd() == labelText.size())) {
                fail("bad label");
                break;
            }
            labels.insert(l.captured(1), unescaped(l.captured(2)));
            at = l.capturedEnd();
        }
        if (s.captured(2) == QLatin1String("{}")) fail("empty braces");
        if (typeOf.value(family) == QLatin1String("counter") && !(value >= 0))
            fail("negative counter");
        if (histogram) {
            const QString le = labels.take(QStringLiteral("le"));
            QStringList rest;
            for (auto it = labels.begin(); it != labels.end(); ++it)
                rest << it.key() + '=' + it.value();
            Bucket& last = lastBucket[family + '{' + rest.join(',') + '}'];
            double bound = 0;
            if (name.endsWith(QLatin1String("_bucket"))) {
                if (!readValue(le, &bound) || !(bound > last.le) || value < last.count)
                    fail("bucket not cumulative");
                last = {bound, value};
            } else if (name.endsWith(QLatin1String("_count")) &&
                       (last.le != HUGE_VAL || last.count != value)) {
                fail("no +Inf bucket equal to _count");
            }
            if (!le.isEmpty()) labels.insert(QStringLiteral("le"), le);
        }
        QStringList pairs;
        for (auto it = labels.begin(); it != labels.end(); ++it)
            pairs << it.key() + '=' + it.value();
        const QString key = name + '{' + pairs.join(',') + '}';
        if (samples.contains(key)) fail("series twice");
        samples.insert(key, value);
    }
    return samples;
}

QByteArray metrics(DaemonEnvironment& env) {
    const QByteArray response = env.request(R"({"TYPE":"getMetrics"})");
    const qsizetype body = response.indexOf("\r\n\r\n") + 4;
    EXPECT_TRUE(response.startsWith(kMetricsHeader))
        << response.left(80).constData();
    return response.mid(body);
}

}  // namespace

TEST(MetricsTest, ParsesStrictlyAndCountsRequestsWithoutNewSeriesForMadeUpNames) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    CommandTable fresh = webgatedCommands();  // a fresh table: nothing counted yet
    // A name with what a label value must escape, and a name twice (only its first row counts).
    fresh.push_back(testsupport::commandRow("odd\"name\\with\nbreak", fresh.front().handler));
    fresh.push_back(fresh.front());
    env.fcgi().setCommandTable(fresh);
    const QMap<QString, double> before = parsed(metrics(env));
    EXPECT_TRUE(before.contains("webgated_robot_link_up{}") &&
                before.contains("webgated_network_rollbacks_total{}"));
    EXPECT_GT(before.value("process_resident_memory_bytes{}"), 1e6);
    EXPECT_EQ(
        before.value(QStringLiteral("webgated_build_info{qt=%1,version=%2}")
                         .arg(QString::fromLatin1(qVersion()), QStringLiteral(WEBGATED_VERSION))),
        1);
    EXPECT_TRUE(before.contains("webgated_settings_saves_total{result=failed}"));
    // Every command with every outcome, at 0 before its first use.
    const CommandTable& table = env.fcgi().commandTable();
    for (size_t row = 0; row < table.size(); ++row) {
        for (int o = 0; o < static_cast<int>(RequestOutcome::Count); ++o) {
            const QString key =
                QStringLiteral("webgated_requests_total{command=%1,result=%2}")
                    .arg(
                        QString::fromLatin1(table[row].name),
                        QString::fromLatin1(RequestMetrics::label(static_cast<RequestOutcome>(o))));
            EXPECT_TRUE(before.contains(key) && before.value(key) == 0) << key.toStdString();
        }
    }

    env.request(R"({"TYPE":"getDistance"})");
    env.request(R"({"TYPE":"getDistance"})");
    env.request(R"({"TYPE":"HEARTBEAT"})");
    env.request("not json");
    for (int i = 0; i < 10000; ++i)
        env.request("{\"TYPE\":\"madeUp" + QByteArray::number(i) + "\"}");
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
    env.fcgi().context().sensors.on_battery_changed(31.807f, 1, false, 0, QStringLiteral("LiFe"),
                                                       true, 0);
    const QByteArray text = metrics(env);
    EXPECT_EQ(battery(), "webgated_battery_voltage_volts 31.807|webgated_battery_low 1");
    EXPECT_EQ(parsed(text).value("webgated_battery_voltage_volts{}"), 31.807);
    robot.disconnectClients();
    ASSERT_TRUE(testsupport::waitFor([&] { return !env.fcgi().isRobotConnected(); }));
    EXPECT_EQ(battery(), "") << "the robot is gone";
}
