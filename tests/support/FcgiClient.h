#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <functional>

namespace testsupport {

/// FastCGI as a web server speaks it, for the tests of the daemon's transport.
namespace fcgiclient {

enum : unsigned char {
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kGetValues = 9,
    kGetValuesResult = 10,
    kUnknownType = 11,
};

using Pairs = QList<QPair<QByteArray, QByteArray>>;

/// One record: header, content, and `padding` bytes (default: to a multiple of 8).
QByteArray record(unsigned char type, int id, const QByteArray& content, int padding = -1);
QByteArray nameValue(const QByteArray& name, const QByteArray& value);
/// BEGIN_REQUEST for the responder role (or `role`), with the keep-connection flag if `keep`.
QByteArray begin(int id, bool keep, int role = 1);
/// A whole request: its start, QUERY_STRING and `params` in one PARAMS record, the end of the
/// parameters, `body` in STDIN records of at most 32 KiB and the end of STDIN (if `endStdin`).
QByteArray request(int id, const QByteArray& query, bool keep = true, const Pairs& params = {},
                   const QByteArray& body = QByteArray(), bool endStdin = true);

/// What the daemon sent: a request's end with all of its STDOUT, or a management record (id 0).
struct Answer {
    int type = 0;
    int id = 0;
    QByteArray content;  // the STDOUT stream for END_REQUEST, else the record's content
    int status = -1;     // END_REQUEST's protocol status
};

/// One connection to the daemon's socket, played the way a web server plays it.
class Peer {
public:
    explicit Peer(const QString& socketPath);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool isConnected() const { return m_fd >= 0; }
    /// Writes all of `bytes`; false if the daemon closed or reset the connection meanwhile.
    bool write(const QByteArray& bytes);
    /// The next answer; false when none came within `timeoutMs` (0: none has arrived yet) or the
    /// connection ended first.
    bool next(Answer* answer, int timeoutMs = 10000);
    /// Reads the request's STDOUT as it comes until `enough(output())` (an open reply's parts);
    /// false when the time ran out, the connection ended or a record of another type came first.
    bool waitOutput(const std::function<bool(const QByteArray&)>& enough, int timeoutMs = 10000);
    /// The STDOUT of the request in progress so far.
    const QByteArray& output() const { return m_out; }
    /// True once the daemon has closed its end, waiting at most `timeoutMs` (what it still
    /// sends is dropped).
    bool waitClosed(int timeoutMs);
    /// The same without reading anything: true once the daemon has closed its end.
    bool waitHungUp(int timeoutMs);

private:
    /// Takes the whole records at the front of what was read: STDOUT into m_out, the first other
    /// one into `answer` (true); with `answer` nullptr it stops before that one (true).
    bool takeRecords(Answer* answer);
    /// Waits at most `timeoutMs` for more bytes; false once the connection has ended.
    bool receive(qint64 timeoutMs);
    int m_fd = -1;
    QByteArray m_in;
    QByteArray m_out;  // STDOUT gathered per request until its end
    bool m_ended = false;
};

/// One request on a connection of its own (not kept): its STDOUT, or false on a failure.
bool get(const QString& socketPath, const QByteArray& query, QByteArray* out, int timeoutMs = 10000);

}  // namespace fcgiclient
}  // namespace testsupport
