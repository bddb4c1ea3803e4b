#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace kel {
namespace corvanta {
namespace daemons {

/// Writes finished log lines to a file (and standard output) on a thread of its own, from a
/// bounded queue, so that no caller ever waits for a disk. Lines that do not fit are dropped,
/// counted, and reported by one line once there is room again. Past `maxFileSize` the file
/// becomes its path + ".1" (older ones move on to ".2" and ".3"); a file removed or renamed by
/// someone else is started anew.
class LogWriter {
public:
    struct Options {
        std::size_t maxQueuedLines;
        std::size_t maxQueuedBytes;
        qint64 maxFileSize;
        /// Whether the writer's own lines (the dropped-lines report) go to standard output.
        bool echoOwnLines;
        /// Runs on the writer thread before each batch is written (tests hold the writer here).
        std::function<void()> beforeWrite;
    };

    /// Old files kept: path + ".1" (the newest) to path + ".3".
    static constexpr int kKeptFiles = 3;

    /// Starts the thread, which first keeps the file left by the run before as the ".1" file.
    LogWriter(const QByteArray& filePath, Options options);
    /// Writes what is queued and ends the thread, waiting at most `kStopWaitMs`.
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    static constexpr int kStopWaitMs = 2000;

    /// Any thread, never blocks on I/O: queues `text` (one line, Latin-1) with the time now; the
    /// log's thread puts "hh:mm:ss.zzz | " in front and a line feed after. False when the queue
    /// is full and the line was dropped.
    bool enqueue(const QByteArray& text, bool toStdout);
    /// Waits at most `timeoutMs` until every line queued before the call is written; false on
    /// time-out.
    bool waitWritten(int timeoutMs);
    /// Lines dropped since the start.
    quint64 dropped() const;
    /// Any thread: every line written from now on shows `secret` (its bytes, wherever they are
    /// in the line) as "***". The most recent kMaxSecrets are kept.
    void addSecret(const QByteArray& secret);
    static constexpr int kMaxSecrets = 32;
    /// Shorter texts are not taken: they would blank out common words.
    static constexpr int kMinSecretSize = 4;

private:
    struct State;
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
