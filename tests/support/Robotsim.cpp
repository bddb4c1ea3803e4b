#include "Robotsim.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

#include "E2e.h"
#include "Wait.h"

namespace testsupport {

Robotsim::~Robotsim() { stop(); }

bool Robotsim::start(const QString& recordFile, const QStringList& extraArgs) {
    m_recordFile = recordFile;
    QStringList args{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")};
    if (!recordFile.isEmpty()) args << QStringLiteral("--record") << recordFile;
    m_process.start(binaryDir() + QStringLiteral("/tools/robotsim/robotsim"), args + extraArgs);
    if (!m_process.waitForStarted(5000)) return false;
    QString output;
    static const QRegularExpression listening(QStringLiteral("listening on .*:(\\d+)"));
    return waitFor(
        [&] {
            output += QString::fromLocal8Bit(m_process.readAllStandardOutput());
            const auto match = listening.match(output);
            if (match.hasMatch()) m_port = static_cast<quint16>(match.captured(1).toUInt());
            return m_port != 0;
        },
        10000);
}

QString Robotsim::address() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

QList<QJsonObject> Robotsim::recorded() const {
    QList<QJsonObject> messages;
    QFile file(m_recordFile);
    if (!file.open(QIODevice::ReadOnly)) return messages;
    while (!file.atEnd()) {
        const QJsonDocument line = QJsonDocument::fromJson(file.readLine());
        if (line.isObject()) messages << line.object();
    }
    return messages;
}

int Robotsim::stop() {
    if (m_process.state() == QProcess::NotRunning) return m_process.exitCode();
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

}  // namespace testsupport
