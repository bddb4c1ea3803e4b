#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <climits>
#include <functional>
#include <memory>

namespace kel {
namespace corvanta {
namespace daemons {

class LogWriter;

/// The process log: time-stamped lines to a file and to standard output, filtered by a verbosity.
/// The files of the three instances before are kept as ".1" (the last) to ".3". Safe to call from any thread: a call
/// only formats its line and queues it; the log's own thread writes it, so no caller (the main
/// thread with its drive set-points above all) waits for a disk. When the queue is full, lines
/// are dropped, counted and reported by one line.
class Log : public QObject {
    Q_OBJECT
public:
    /// Past this size the file is renamed to its path + ".1" (older ones move on, up to ".3") and a
    /// new file is started.
    static constexpr qint64 kMaxFileSize = 8 * 1024 * 1024;
    /// Lines (and bytes) waiting for the log's thread; beyond either, lines are dropped.
    static constexpr int kMaxQueuedLines = 4096;
    static constexpr int kMaxQueuedBytes = 4 * 1024 * 1024;
    /// The longest flush() waits.
    static constexpr int kFlushWaitMs = 2000;

    Log(const QString& filePath, int verbosity, bool stdoutOff);
    /// Tests: a queue of `maxQueuedLines`, and `beforeWrite` run on the log's thread before each
    /// batch of lines is written (to hold it there).
    Log(const QString& filePath, int verbosity, bool stdoutOff, int maxQueuedLines,
        std::function<void()> beforeWrite);
    /// Logs the "stopped" line and writes what is queued, waiting a bounded time.
    ~Log() override;

    static Log* singleton();

    int verbosity() const { return m_verbosity.load(std::memory_order_relaxed); }
    /// Only lines of this level and below go to standard output as well (default: all).
    void setStdoutVerbosity(int level) {
        m_stdoutVerbosity.store(level, std::memory_order_relaxed);
    }
    /// Waits at most kFlushWaitMs until every line logged so far is written; false on time-out.
    bool flush();
    /// Lines dropped because the log could not keep up, since the start.
    quint64 droppedLines() const;
    /// Any thread: `secret` (a passphrase, a key) is shown as "***" in every line written from
    /// now on, whatever logged it.
    void addSecret(const QString& secret);
    QString filePath() const { return m_filePath; }

public Q_SLOTS:
    void log(const QString& text, int level);
    void setVerbosity(int verbosity);

private:
    QString m_filePath;
    std::atomic<int> m_verbosity;
    std::atomic<int> m_stdoutVerbosity{INT_MAX};
    bool m_stdoutOff;
    std::unique_ptr<LogWriter> m_writer;

    static Log* s_instance;
};

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
