#include "kel/corvanta/daemons/Log.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <QTime>
#include <cstdio>

namespace kel {
namespace corvanta {
namespace daemons {

Log* Log::s_instance = nullptr;

Log::Log(const QString& filePath, int verbosity, bool stdoutOff)
    : m_filePath(filePath),
      m_verbosity(verbosity),
      m_stdoutOff(stdoutOff),
      m_mailbox(new EventMailbox(this)) {
    Q_ASSERT(s_instance == nullptr);
    s_instance = this;
    // The log of the instance before (one that hung and was killed, say) is kept for a look.
    std::rename(QFile::encodeName(m_filePath).constData(),
                QFile::encodeName(m_filePath + QStringLiteral(".1")).constData());
    log(QCoreApplication::applicationName() + " started", 1);
}

Log::~Log() {
    log(QCoreApplication::applicationName() + " stopped\n", 1);
    s_instance = nullptr;
}

Log* Log::singleton() {
    Q_ASSERT(s_instance != nullptr);
    return s_instance;
}

void Log::log(const QString& text, int level) {
    if (level > verbosity()) return;
    if (QThread::currentThread() != thread()) {
        m_mailbox->post(new LogEvent(text, level));
        return;
    }
    QMutexLocker lock(&m_mutex);
    QString line;
    if (text == QLatin1String(".")) {
        line = text;
    } else {
        line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")) + " | " + text;
        if (!m_lastLine.isEmpty()) line.prepend(QLatin1Char('\n'));
    }
    m_lastLine = line;
    const QByteArray bytes = line.toLatin1();
    if (!m_stdoutOff && level <= m_stdoutVerbosity.load(std::memory_order_relaxed)) {
        std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
        std::fflush(stdout);
    }
    QFile file(m_filePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(bytes);
        const qint64 size = file.size();
        file.close();
        // Bounded: the full file becomes the ".1" file (replacing an older one), a new one starts.
        if (size > kMaxFileSize) {
            std::rename(QFile::encodeName(m_filePath).constData(),
                        QFile::encodeName(m_filePath + QStringLiteral(".1")).constData());
            m_lastLine.clear();  // the new file begins without a line feed
        }
    }
}

void Log::setVerbosity(int verbosity) {
    m_verbosity.store(verbosity, std::memory_order_relaxed);
    log(QStringLiteral("new log level is %1").arg(verbosity), 100);
}

void Log::customEvent(QEvent* event) {
    if (event->type() == LogEvent::EventType) {
        const auto* logEvent = static_cast<LogEvent*>(event);
        log(logEvent->text(), logEvent->level());
    }
}

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
