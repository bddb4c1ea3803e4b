#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <memory>

#include "frame/Json.h"

class Client;
class Fcgi;
namespace kel::corvanta::daemons {
class Log;
}

namespace testsupport {

/// What the daemon has in place when the request thread starts, built once per test binary
/// under a private file-system root: the log (verbosity 100, no echo), the client and Fcgi.
class DaemonEnvironment {
public:
    static DaemonEnvironment& instance();

    QString root() const { return m_root.path(); }
    QString path(const QString& robotPath) const { return root() + robotPath; }
    Client& client();
    Fcgi& fcgi();

    /// Replaces the configuration files and lets the client read them again.
    void setConfig(const QByteArray& systemIni, const QByteArray& userIni = QByteArray());

    /// Delivers the log lines posted from other threads and returns the log file.
    QString logText();
    /// Empties the log file (lines written so far are gone).
    void clearLog();

    /// Runs one request through the request function, as the loop would.
    QByteArray request(const QByteArray& query);
    /// The JSON body of `request(query)`; null if the response is not JSON.
    JsonPtr requestJson(const QByteArray& query);

private:
    DaemonEnvironment();
    QTemporaryDir m_root;
    std::unique_ptr<kel::corvanta::daemons::Log> m_log;
    std::unique_ptr<Fcgi> m_fcgi;
};

}  // namespace testsupport
