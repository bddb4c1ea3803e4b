#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "base/Json.h"
#include "request/Request.h"
#include "CommandContext.h"
#include "request/RequestProcessor.h"
#include "request/RequestResult.h"

class Client;
class Fcgi;
namespace kel::corvanta::daemons {
class Log;
}

namespace testsupport {

class TestRobot;

/// A command table row for a test's own table: acting, in the request thread, logged in full
/// unless the test says otherwise.
inline Command commandRow(const char* name, RequestResult (*handler)(CommandContext&, Request&),
                          CommandAccess access = CommandAccess::Acting,
                          CommandThread thread = CommandThread::Request,
                          CommandLog log = CommandLog::Full) {
    return {name, access, thread, log, handler};
}

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
    /// Runs `work` at log verbosity `verbosity` and returns the lines it wrote.
    QString logOf(int verbosity, const std::function<void()>& work);

    /// Runs one request through the request function, as the loop would (with `headers`).
    QByteArray request(const QByteArray& query, const RequestHeaders& headers = RequestHeaders());
    /// The JSON body of `request(query)`; null if the response is not JSON.
    JsonPtr requestJson(const QByteArray& query);
    /// The body of `request(query)` after the JSON reply's header (empty for any other reply).
    QByteArray reply(const QByteArray& query, const RequestHeaders& headers = RequestHeaders());

    /// Connects the client to `robot` and waits until it is connected with its topics on.
    bool connectTo(TestRobot& robot);
    /// Waits until everything the client sent so far has reached `robot` (a switch sent after
    /// it arrived), then, if `forget`, clears the robot's messages.
    bool syncWith(TestRobot& robot, bool forget = true);

private:
    DaemonEnvironment();
    QTemporaryDir m_root;
    std::unique_ptr<kel::corvanta::daemons::Log> m_log;
    std::unique_ptr<Fcgi> m_fcgi;
};

/// A command function called directly, as the request loop calls it: a parsed query, an empty
/// reply object.
struct CommandCall {
    RequestResult result;
    bool quiet;
    JsonPtr reply;
    QByteArray raw;  // the raw response, if the command wrote one
    /// The value of `key` in the reply as compact JSON text ("" when absent).
    QByteArray operator[](const char* key) const;
};
CommandCall callCommand(const QByteArray& query, const std::function<RequestResult(Request&)>& command);

/// The value of `key` in `object` as compact JSON text: strings quoted, reals with their ".0".
QByteArray field(const json_t* object, const char* key);

/// The replies to a request lacking a parameter, and to one with a parameter of the wrong kind.
inline const QByteArray kReplyMissing = R"j({"TYPE":"ERR","MSG":"MISSING PARAMETER(S)"})j";
inline const QByteArray kReplyInvalid = R"j({"TYPE":"ERR","MSG":"INVALID PARAMETER(S)"})j";

}  // namespace testsupport
