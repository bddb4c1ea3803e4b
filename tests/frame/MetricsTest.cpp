// The daemon's figures: the text a strict reader of the Prometheus format accepts, counters that
// move with the requests, and made-up command names that add no series.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "CommandTable.h"
#include "DaemonEnvironment.h"
#include "Fcgi.h"

using testsupport::DaemonEnvironment;

namespace {

// Every sample of a metrics text as "name{labels}" -> value, read by prometheus_client's parser,
// which refuses anything outside the format.
QMap<QString, double> parsed(const QByteArray& text) {
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral(
        "import sys, json; from prometheus_client.parser import text_string_to_metric_families as read\n"
        "print(json.dumps({s.name + '{' + ','.join(f'{k}={v}' for k, v in sorted(s.labels.items())) + '}': s.value\n"
        "                  for family in read(sys.stdin.read()) for s in family.samples}))")});
    python.write(text);
    python.closeWriteChannel();
    EXPECT_TRUE(python.waitForFinished(20000));
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().constData();
    QMap<QString, double> samples;
    const QJsonObject object = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    for (auto it = object.begin(); it != object.end(); ++it) samples.insert(it.key(), it.value().toDouble());
    return samples;
}

QByteArray metrics(DaemonEnvironment& env) {
    const QByteArray response = env.request(R"({"TYPE":"getMetrics"})");
    const QByteArray header = "Content-type: text/plain; version=0.0.4\r\n\r\n";
    EXPECT_TRUE(response.startsWith(header)) << response.left(80).constData();
    return response.mid(header.size());
}

}  // namespace

TEST(MetricsTest, ParsesStrictlyAndCountsRequestsWithoutNewSeriesForMadeUpNames) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    env.fcgi().setCommandTable(webgatedCommands());  // another test of this process may have replaced it
    const QMap<QString, double> before = parsed(metrics(env));
    EXPECT_TRUE(before.contains("webgated_robot_link_up{}") && before.contains("webgated_network_rollbacks_total{}"));
    EXPECT_GT(before.value("process_resident_memory_bytes{}"), 1e6);

    env.request(R"({"TYPE":"getDistance"})");
    env.request(R"({"TYPE":"getDistance"})");
    env.request(R"({"TYPE":"HEARTBEAT"})");
    env.request("not json");
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
    EXPECT_LE(after.size(), before.size() + 8) << QStringList(after.keys()).join(' ').toStdString();
}
