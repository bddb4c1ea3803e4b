// The settings page: rebuild() over 100 annotated files of 20 web items each against reading
// the same bytes from disk (files unchanged since the last rebuild, and a builder that has read
// nothing yet), and one saveSettings of 10 items. Both run in a second thread, as in
// the daemon's request thread (log lines are handed to the main thread, written between runs).
// Interleaved repetitions; medians and the median of the per-pair ratios are printed.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "kel/corvanta/daemons/Log.h"

namespace {

QByteArray annotatedFile(int index) {
    QByteArray text = "#@restart command begin\n#@name Component" + QByteArray::number(index) +
                      "\n#@cmd systemctl restart component" + QByteArray::number(index) + "\n\n";
    text += "# Configuration of a component of the robot.\n[Main]\n";
    for (int i = 0; i < 20; ++i) {
        const QByteArray n = QByteArray::number(i);
        text += "# what item " + n + " does, in a line of comment\n";
        switch (i % 6) {
            case 0: text += "#@web int\ncount" + n + "=" + QByteArray::number(1000 + i) + "\n"; break;
            case 1: text += "#@web float 0 10 0.5\ngain" + n + "=2.5\n"; break;
            case 2: text += "#@web\nname" + n + "=front camera\n"; break;
            case 3: text += "#@web ip\naddress" + n + "=192.168.0." + n + "\n"; break;
            case 4: text += "#@web bool\nenabled" + n + "=1\n"; break;
            default: text += "#@web selection low medium high\nmode" + n + "=medium\n"; break;
        }
        text += "plain" + n + "=not on the page\n";
    }
    return text;
}

std::vector<double> flushMs;  // the main thread writing the lines a run handed over

template <typename Work>
double inThreadMs(Work work) {
    double ms = 0;
    std::thread thread([&] {
        QElapsedTimer timer;
        timer.start();
        work();
        ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    });
    thread.join();
    QElapsedTimer timer;
    timer.start();
    kel::corvanta::daemons::Log::singleton()->flush();
    flushMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    return ms;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testsupport::DaemonEnvironment& env = testsupport::DaemonEnvironment::instance();
    env.setConfig("[Log]\nverbosity=0\n");
    kel::corvanta::daemons::Log::singleton()->setVerbosity(0);
    Fcgi& fcgi = env.fcgi();
    const QString dir = env.path(QStringLiteral("/etc/benchpage"));
    QDir().mkpath(dir);
    QStringList files;
    qint64 bytes = 0;
    for (int i = 0; i < 100; ++i) {
        QFile file(dir + QStringLiteral("/component%1.conf").arg(i, 3, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 1;
        bytes += file.write(annotatedFile(i));
        files << file.fileName();
    }
    ConfigPageBuilder& builder = fcgi.context().settings;
    builder.setINI_DIR({QStringLiteral("/etc/benchpage")});
    // Files changed within the last two seconds are parsed at every rebuild; configuration
    // files on a robot are older than that.
    QThread::msleep(2100);

    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 31;
    std::vector<double> rebuildMs, rawMs, ratios, saveMs, coldMs, logMs;
    qint64 sink = 0;
    for (int r = 0; r < repetitions; ++r) {
        const double raw = inThreadMs([&] {
            for (const QString& name : files) {
                QFile file(name);
                if (file.open(QIODevice::ReadOnly)) sink += file.readAll().size();
            }
        });
        const double rebuild = inThreadMs([&] { builder.rebuild(); });
        logMs.push_back(flushMs.back());
        coldMs.push_back(inThreadMs([&] {
            ConfigPageBuilder fresh;  // nothing read before: every file parsed, every item rendered
            fresh.setINI_DIR(builder.iniDir());
            fresh.rebuild();
        }));
        rawMs.push_back(raw);
        rebuildMs.push_back(rebuild);
        ratios.push_back(rebuild / raw);
        QByteArray save = "{\"TYPE\":\"saveSettings\",\"settings\":[";
        for (int i = 0; i < 10; ++i) {
            const QByteArray name = i % 2 ? "Main/name" + QByteArray::number(i / 2 * 6 + 2) : "Main/count" + QByteArray::number(i / 2 * 6);
            save += QByteArray(i ? "," : "") + "{\"category\":\"/etc/benchpage/component050.conf\",\"itemName\":\"" + name +
                    "\",\"value\":\"" + QByteArray::number(r) + "\"}";
        }
        save += "]}";
        QByteArray reply;
        saveMs.push_back(inThreadMs([&] { reply = fcgi.processRequest(save.constData()); }));
        if (!reply.endsWith("{\"TYPE\":\"ACK\"}")) {
            std::fprintf(stderr, "saveSettings failed: %s\n", reply.constData());
            return 1;
        }
    }
    std::printf("files: 100 x 20 web items, %lld bytes, %d items on the page (read %lld)\n",
                static_cast<long long>(bytes), static_cast<int>(builder.configItems().size()),
                static_cast<long long>(sink / repetitions));
    std::printf("raw read:          median %.3f ms\n", median(rawMs));
    std::printf("rebuild():         median %.3f ms\n", median(rebuildMs));
    std::printf("rebuild / raw:     median of pair ratios %.2f\n", median(ratios));
    std::printf("rebuild(), cold:   median %.3f ms (a builder that has read nothing yet)\n", median(coldMs));
    std::printf("log lines of one rebuild, written by the main thread: median %.3f ms\n", median(logMs));
    std::printf("saveSettings (10): median %.3f ms\n", median(saveMs));
    return 0;
}
