#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

namespace testsupport {

/// The simulated robot as a process, on a port of its own choosing; stopped by the destructor.
class Robotsim {
public:
    Robotsim() = default;
    ~Robotsim();
    Robotsim(const Robotsim&) = delete;
    Robotsim& operator=(const Robotsim&) = delete;

    /// Starts robotsim recording every message it receives into `recordFile` (none if empty),
    /// with `extraArgs` (e.g. --fps 20); waits until it listens.
    bool start(const QString& recordFile = QString(), const QStringList& extraArgs = QStringList());
    /// "127.0.0.1:<port>".
    QString address() const;
    quint16 port() const { return m_port; }
    /// The messages recorded so far, oldest first.
    QList<QJsonObject> recorded() const;
    /// Ends robotsim with SIGTERM; returns its exit code (-1 if it crashed or hung).
    int stop();

private:
    QProcess m_process;
    QString m_recordFile;
    quint16 m_port = 0;
};

}  // namespace testsupport
