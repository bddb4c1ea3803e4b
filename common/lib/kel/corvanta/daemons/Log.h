#pragma once

#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QString>
#include <atomic>

#include "kel/corvanta/daemons/EventMailbox.h"

namespace kel {
namespace corvanta {
namespace daemons {

/// The process log: time-stamped lines to a file and to standard output, filtered by a verbosity.
/// The file of the instance before is kept as the ".1" file. Safe to call from any thread; lines from other threads are written
/// by the log's own thread, in posting order.
class Log : public QObject {
    Q_OBJECT
public:
    /// Carries a line from another thread to the log's thread.
    class LogEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User);
        LogEvent(const QString& text, int level) : QEvent(EventType), m_text(text), m_level(level) {}
        const QString& text() const { return m_text; }
        int level() const { return m_level; }

    private:
        QString m_text;
        int m_level;
    };

    /// Past this size the file is renamed to its path + ".1" and a new file is started.
    static constexpr qint64 kMaxFileSize = 8 * 1024 * 1024;

    Log(const QString& filePath, int verbosity, bool stdoutOff);
    ~Log() override;

    static Log* singleton();

    int verbosity() const { return m_verbosity.load(std::memory_order_relaxed); }
    /// Only lines of this level and below go to standard output as well (default: all).
    void setStdoutVerbosity(int level) { m_stdoutVerbosity.store(level, std::memory_order_relaxed); }
    /// Writes the lines other threads have handed over so far (the log's thread).
    void flush() { m_mailbox->deliverPending(); }
    QString filePath() const { return m_filePath; }

public Q_SLOTS:
    void log(const QString& text, int level);
    void setVerbosity(int verbosity);

protected:
    void customEvent(QEvent* event) override;

private:
    QString m_filePath;
    std::atomic<int> m_verbosity;
    std::atomic<int> m_stdoutVerbosity{2147483647};
    bool m_stdoutOff;
    QString m_lastLine;
    QMutex m_mutex;
    EventMailbox* m_mailbox;

    static Log* s_instance;
};

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
