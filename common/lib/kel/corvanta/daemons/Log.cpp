#include "kel/corvanta/daemons/Log.h"

#include <QCoreApplication>
#include <QFile>

#include "kel/corvanta/daemons/LogWriter.h"

namespace kel {
namespace corvanta {
namespace daemons {

Log* Log::s_instance = nullptr;

Log::Log(const QString& filePath, int verbosity, bool stdoutOff)
    : Log(filePath, verbosity, stdoutOff, kMaxQueuedLines, {}) {}

Log::Log(const QString& filePath, int verbosity, bool stdoutOff, int maxQueuedLines,
         std::function<void()> beforeWrite)
    : m_filePath(filePath),
      m_verbosity(verbosity),
      m_stdoutOff(stdoutOff),
      m_writer(new LogWriter(QFile::encodeName(filePath),
                             {static_cast<std::size_t>(qMax(1, maxQueuedLines)),
                              static_cast<std::size_t>(kMaxQueuedBytes), kMaxFileSize, !stdoutOff,
                              std::move(beforeWrite)})) {
    Q_ASSERT(s_instance == nullptr);
    s_instance = this;
    log(QCoreApplication::applicationName() + " started", 1);
}

Log::~Log() {
    log(QCoreApplication::applicationName() + " stopped", 1);
    s_instance = nullptr;
    m_writer.reset();
}

Log* Log::singleton() {
    Q_ASSERT(s_instance != nullptr);
    return s_instance;
}

bool Log::flush() { return m_writer->waitWritten(kFlushWaitMs); }

quint64 Log::droppedLines() const { return m_writer->dropped(); }

void Log::addSecret(const QString& secret) {
    // Both ways its bytes may reach a line: as Latin-1 text, and as the UTF-8 of a raw query.
    const QByteArray latin1 = secret.toLatin1();
    // A text beyond Latin-1 would register its "?" stand-ins, which match other text.
    if (QString::fromLatin1(latin1) == secret) m_writer->addSecret(latin1);
    const QByteArray utf8 = secret.toUtf8();
    if (utf8 != latin1) m_writer->addSecret(utf8);
}

void Log::log(const QString& text, int level) {
    if (level > verbosity()) return;
    const bool echo = !m_stdoutOff && level <= m_stdoutVerbosity.load(std::memory_order_relaxed);
    // Each line stands whole with its line feed; a "." is a line like any other.
    m_writer->enqueue(text.toLatin1(), echo);
}

void Log::setVerbosity(int verbosity) {
    m_verbosity.store(verbosity, std::memory_order_relaxed);
    log(QStringLiteral("new log level is %1").arg(verbosity), 100);
}

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
