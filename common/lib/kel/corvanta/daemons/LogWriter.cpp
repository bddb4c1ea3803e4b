#include "kel/corvanta/daemons/LogWriter.h"

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QDateTime>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>
#include <utility>

namespace kel {
namespace corvanta {
namespace daemons {

namespace {

// An idle writer looks again this often, so that not even its own wait is without a limit.
constexpr std::chrono::seconds kIdleWake(1);

struct Entry {
    qint64 msecs;  // since the epoch, taken when the line was logged
    QByteArray text;
    bool toStdout;
};

// The whole buffer, in as many write(2) calls as the kernel wants; gives up on an error.
void writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    auto left = static_cast<size_t>(bytes.size());
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

struct LogWriter::State {
    State(const QByteArray& filePath, Options writerOptions)
        : path(filePath), options(std::move(writerOptions)) {}
    ~State() {
        if (fd >= 0) ::close(fd);
    }

    bool openFile();
    QByteArray line(qint64 msecs, const QByteArray& text);
    void writeBatch(const std::deque<Entry>& batch, quint64 dropped,
                    const std::vector<QByteArray>& secrets);

    void keepOldFiles() const;

    const QByteArray path;
    const Options options;

    std::mutex mutex;
    std::condition_variable wake;      // the writer: lines queued, or stop
    std::condition_variable progress;  // waiters: lines written, or the writer ended
    std::deque<Entry> queue;
    std::size_t queuedBytes = 0;
    quint64 accepted = 0;
    quint64 written = 0;
    quint64 droppedUnreported = 0;
    std::vector<QByteArray> secrets;  // newest last
    bool stopping = false;
    bool finished = false;
    std::atomic<quint64> droppedTotal{0};

    // The writer thread's alone (local time is worked out there only: the C library's time zone
    // state is not for several threads).
    qint64 stampedSecond = -1;
    qint64 zoneCheckedSecond = -1000;
    char stamp[16] = {};
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

void LogWriter::State::keepOldFiles() const {
    // ".2" becomes ".3" (replacing the oldest), ".1" becomes ".2", the file becomes ".1"; each
    // step is one rename, so a file is never lost half-way. Without a file nothing moves.
    struct stat current = {};
    if (::lstat(path.constData(), &current) != 0) return;
    for (int n = kKeptFiles; n > 0; --n) {
        const QByteArray from = n == 1 ? path : path + '.' + QByteArray::number(n - 1);
        ::rename(from.constData(), (path + '.' + QByteArray::number(n)).constData());
    }
}

bool LogWriter::State::openFile() {
    // logrotate (or a person) may have moved or removed the file: lines go to the path's file.
    struct stat atPath = {};
    if (fd >= 0 &&
        (::stat(path.constData(), &atPath) != 0 || atPath.st_dev != dev || atPath.st_ino != ino)) {
        ::close(fd);
        fd = -1;
    }
    if (fd >= 0) return true;
    // The log may quote what operators typed: readable by its owner and the adm group only.
    fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) return false;
    struct stat opened = {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        fd = -1;
        return false;
    }
    // A file made by an older version (0644) is closed to others as well.
    if ((opened.st_mode & 07777) != 0640) ::fchmod(fd, 0640);
    if (::geteuid() == 0) {
        struct group entry = {};
        struct group* found = nullptr;
        char buffer[1024];
        if (::getgrnam_r("adm", &entry, buffer, sizeof(buffer), &found) == 0 && found &&
            opened.st_gid != found->gr_gid) {
            if (::fchown(fd, static_cast<uid_t>(-1), found->gr_gid) != 0) {
                // Kept with the group it has; the mode still shuts out everybody else.
            }
        }
    }
    dev = opened.st_dev;
    ino = opened.st_ino;
    return true;
}

QByteArray LogWriter::State::line(qint64 msecs, const QByteArray& text) {
    msecs = qMax<qint64>(0, msecs);
    if (msecs / 1000 != stampedSecond) {
        stampedSecond = msecs / 1000;
        // A time zone changed while the daemon runs shows within a minute.
        if (qAbs(stampedSecond - zoneCheckedSecond) >= 60) {
            zoneCheckedSecond = stampedSecond;
            ::tzset();
        }
        const auto seconds = static_cast<time_t>(stampedSecond);
        struct tm local = {};
        ::localtime_r(&seconds, &local);
        std::snprintf(stamp, sizeof(stamp), "%02d:%02d:%02d.", local.tm_hour, local.tm_min,
                      local.tm_sec);
    }
    char millis[8];
    std::snprintf(millis, sizeof(millis), "%03d | ", static_cast<int>(msecs % 1000));
    QByteArray result;
    result.reserve(static_cast<int>(text.size()) + 20);
    result.append(stamp).append(millis).append(text).append('\n');
    return result;
}

void LogWriter::State::writeBatch(const std::deque<Entry>& batch, quint64 dropped,
                                  const std::vector<QByteArray>& secrets) {
    QByteArray toStdout;
    QByteArray toFile;
    // A file that cannot be opened is skipped; the next batch tries again.
    bool haveFile = openFile();
    struct stat status = {};
    qint64 size = haveFile && ::fstat(fd, &status) == 0 ? status.st_size : 0;
    const auto add = [&](const QByteArray& line, bool echo) {
        if (echo) toStdout += line;
        if (!haveFile) return;
        toFile += line;
        if (size + toFile.size() <= options.maxFileSize) return;
        // Bounded: the full file becomes the ".1" file, a new one starts.
        writeAll(fd, toFile);
        toFile.clear();
        keepOldFiles();
        ::close(fd);
        fd = -1;
        haveFile = openFile();
        size = haveFile && ::fstat(fd, &status) == 0 ? status.st_size : 0;
    };
    for (const Entry& entry : batch) {
        if (secrets.empty()) {
            add(line(entry.msecs, entry.text), entry.toStdout);
            continue;
        }
        QByteArray text = entry.text;
        for (const QByteArray& secret : secrets) text.replace(secret, "***");
        add(line(entry.msecs, text), entry.toStdout);
    }
    if (dropped > 0) {
        add(line(QDateTime::currentMSecsSinceEpoch(),
                 QByteArray::number(dropped) + " log lines dropped: the log could not keep up"),
            options.echoOwnLines);
    }
    if (haveFile && !toFile.isEmpty()) writeAll(fd, toFile);
    if (!toStdout.isEmpty()) writeAll(STDOUT_FILENO, toStdout);
}

LogWriter::LogWriter(const QByteArray& filePath, Options options)
    : m_state(std::make_shared<State>(filePath, std::move(options))),
      m_thread(&LogWriter::run, m_state) {}

LogWriter::~LogWriter() {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    m_state->stopping = true;
    m_state->wake.notify_all();
    const bool ended = m_state->progress.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                                                  [this] { return m_state->finished; });
    lock.unlock();
    if (ended) {
        m_thread.join();
    } else {
        // Stuck on a hung disk: the thread keeps its own share of the state, and the daemon stops.
        m_thread.detach();
    }
}

bool LogWriter::enqueue(const QByteArray& text, bool toStdout) {
    State& state = *m_state;
    const auto size = static_cast<std::size_t>(text.size());
    std::lock_guard<std::mutex> lock(state.mutex);
    // One line larger than the byte bound still goes into an empty queue: it is in memory already.
    if (state.queue.size() >= state.options.maxQueuedLines ||
        (!state.queue.empty() && state.queuedBytes + size > state.options.maxQueuedBytes)) {
        ++state.droppedUnreported;
        state.droppedTotal.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    // Taken under the lock, so the file's time stamps follow its order.
    state.queue.push_back({QDateTime::currentMSecsSinceEpoch(), text, toStdout});
    state.queuedBytes += size;
    ++state.accepted;
    if (state.queue.size() == 1) state.wake.notify_one();
    return true;
}

bool LogWriter::waitWritten(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    const quint64 target = m_state->accepted;
    m_state->progress.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_state->written >= target || m_state->finished; });
    return m_state->written >= target;
}

quint64 LogWriter::dropped() const { return m_state->droppedTotal.load(std::memory_order_relaxed); }

void LogWriter::addSecret(const QByteArray& secret) {
    if (secret.size() < kMinSecretSize) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto& secrets = m_state->secrets;
    secrets.erase(std::remove(secrets.begin(), secrets.end(), secret), secrets.end());
    secrets.push_back(secret);
    if (secrets.size() > static_cast<std::size_t>(kMaxSecrets)) secrets.erase(secrets.begin());
}

void LogWriter::run(const std::shared_ptr<State>& state) {
    ::pthread_setname_np(::pthread_self(), "log-writer");
    // The logs of the runs before (one that hung and was killed, and the restarts after it) are
    // kept for a look.
    state->keepOldFiles();
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        if (state->queue.empty() && state->droppedUnreported == 0) {
            if (state->stopping) break;
            state->wake.wait_for(lock, kIdleWake);
            continue;
        }
        std::deque<Entry> batch;
        batch.swap(state->queue);
        state->queuedBytes = 0;
        const quint64 dropped = std::exchange(state->droppedUnreported, 0);
        // The longest first, so that a secret inside another is not left half shown.
        std::vector<QByteArray> secrets = state->secrets;
        lock.unlock();
        std::sort(secrets.begin(), secrets.end(),
                  [](const QByteArray& a, const QByteArray& b) { return a.size() > b.size(); });
        if (state->options.beforeWrite) state->options.beforeWrite();
        state->writeBatch(batch, dropped, secrets);
        const std::size_t count = batch.size();
        batch.clear();
        lock.lock();
        state->written += count;
        state->progress.notify_all();
    }
    state->finished = true;
    state->progress.notify_all();
}

}  // namespace daemons
}  // namespace corvanta
}  // namespace kel
