#include "system/PackageListing.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QThread>
#include <chrono>
#include <cstring>
#include <string>

#include "system/SystemInfoCommands.h"
#include "kel/corvanta/daemons/Log.h"
#include "base/DaemonLog.h"
#include "base/TextChecks.h"

extern char** environ;

namespace {

// dpkg lists a few thousand packages in well under a megabyte; a tool that writes more than
// this is not listing packages.
constexpr int kMaxListingBytes = 32 * 1024 * 1024;
constexpr int kMaxErrorBytes = 4096;
// After SIGKILL a process ends at once, unless the kernel holds it (a hung disk): not waited
// for longer than this.
constexpr int kReapMs = 5000;

qint64 nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The tool's error text for a log line: its first line, printable.
QString firstLine(const QByteArray& text) {
    const int end = text.indexOf('\n');
    return TextChecks::printable(QString::fromUtf8(text.left(end < 0 ? text.size() : end))).left(200);
}

// Waits for `pid` to end (without reaping it) until `deadline`; true when it has.
bool waitForEnd(pid_t pid, qint64 deadline) {
    for (;;) {
        siginfo_t info = {};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno != EINTR;
        if (info.si_pid == pid) return true;
        if (nowMs() >= deadline) return false;
        QThread::msleep(5);
    }
}

// Reaps `pid`; its status, or -1 when it did not end within kReapMs.
int reap(pid_t pid) {
    const qint64 deadline = nowMs() + kReapMs;
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return status;
        if (got < 0 && errno != EINTR) return -1;
        if (nowMs() >= deadline) return -1;
        QThread::msleep(5);
    }
}

}  // namespace

struct PackageListing::Outcome {
    bool ok = false;
    QByteArray listing;
    QString failure;
};

PackageListing::PackageListing() = default;

PackageListing::~PackageListing() { stop(0); }

void PackageListing::request(std::shared_ptr<DeferredReply> reply) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_cancelled) {
            m_waiting.push_back(reply);
            if (m_running) return;  // answered by the run going on
            m_running = true;
            if (m_worker.post([this] { run(); }) == Worker::Posted::Queued) return;
            m_waiting.pop_back();
            m_running = false;
        }
    }
    reply->finish(Failed);
}

void PackageListing::cancel() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cancelled = true;
    if (m_tool > 0) ::kill(-m_tool, SIGKILL);
}

bool PackageListing::stop(int waitMs) {
    cancel();
    return m_worker.stop(waitMs);
}

void PackageListing::run() {
    m_runs.fetch_add(1);
    const Outcome outcome = runTool();
    JsonPtr records;
    bool ok = outcome.ok;
    if (ok) {
        records = SystemInfoCommands::parsePackageListing(outcome.listing);
        ok = SystemInfoCommands::storePackageList(outcome.listing, records.get());
        if (!ok) daemonLog(QStringLiteral("updateCheck: cannot write /var/www/updlist.vnt"), 1);
    } else {
        daemonLog(QStringLiteral("updateCheck: ") + outcome.failure, 1);
    }
    std::vector<std::shared_ptr<DeferredReply>> waiting;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        waiting.swap(m_waiting);
        m_running = false;
    }
    for (size_t i = 0; i < waiting.size(); ++i) {
        if (!ok) {
            waiting[i]->finish(Failed);
            continue;
        }
        JsonPtr members(json_object());
        json_object_set_new(members.get(), "DATA",
                            i + 1 == waiting.size() ? records.release() : json_deep_copy(records.get()));
        waiting[i]->finish(Ack, std::move(members));
    }
}

PackageListing::Outcome PackageListing::runTool() {
    Outcome outcome;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        outcome.failure = QStringLiteral("cannot start dpkg: ") + QString::fromLocal8Bit(std::strerror(errno));
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            if (fd >= 0) ::close(fd);
        }
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // It starts as any program would: no signal blocked or ignored, in a process group of its
    // own so that whatever it starts is killed with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigfillset(&defaults);
    sigdelset(&defaults, SIGKILL);
    sigdelset(&defaults, SIGSTOP);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    // Wide enough that no name or version is cut short.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "COLUMNS=", 8) != 0) environment.emplace_back(*entry);
    }
    environment.emplace_back("COLUMNS=200");
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char dpkg[] = "dpkg";
    char list[] = "-l";
    char* argv[] = {dpkg, list, nullptr};

    pid_t pid = 0;
    const qint64 deadline = nowMs() + m_timeLimitMs.load();
    int spawned = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        spawned = m_cancelled ? ECANCELED : ::posix_spawnp(&pid, dpkg, &actions, &attributes, argv, envp.data());
        if (spawned == 0) m_tool = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        outcome.failure = QStringLiteral("cannot start dpkg: ") + QString::fromLocal8Bit(std::strerror(spawned));
        return outcome;
    }

    // Its output is read as it comes, until both pipes close or the time is up.
    QByteArray errors;
    bool tooLarge = false;
    bool timedOut = false;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const qint64 left = deadline - nowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds, 2, int(left)) < 0 && errno != EINTR) break;
        for (pollfd& p : fds) {
            if (p.fd < 0 || p.revents == 0) continue;
            const ssize_t n = ::read(p.fd, buffer, sizeof(buffer));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                ::close(p.fd);
                p.fd = -1;
                continue;
            }
            if (&p == &fds[0]) {
                if (outcome.listing.size() + n > kMaxListingBytes) tooLarge = true;
                if (!tooLarge) outcome.listing.append(buffer, int(n));
            } else if (errors.size() < kMaxErrorBytes) {
                errors.append(buffer, int(std::min<ssize_t>(n, kMaxErrorBytes - errors.size())));
            }
        }
    }
    for (const pollfd& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    if (!timedOut && !waitForEnd(pid, deadline)) timedOut = true;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tool = 0;
    }
    // Whatever it left behind goes with it; the group is still its own while it is not reaped.
    ::kill(-pid, SIGKILL);
    const int status = reap(pid);
    if (status < 0) {
        outcome.failure = QStringLiteral("dpkg (process %1) did not end after it was killed").arg(pid);
    } else if (timedOut) {
        outcome.failure = QStringLiteral("dpkg did not finish within %1 ms; it was killed").arg(m_timeLimitMs.load());
    } else if (WIFSIGNALED(status)) {
        outcome.failure = QStringLiteral("dpkg was ended by signal %1").arg(WTERMSIG(status));
    } else if (WEXITSTATUS(status) != 0) {
        outcome.failure = QStringLiteral("dpkg failed with exit code %1").arg(WEXITSTATUS(status));
    } else if (tooLarge) {
        outcome.failure = QStringLiteral("dpkg wrote more than %1 bytes").arg(kMaxListingBytes);
    } else {
        outcome.ok = true;
    }
    if (!outcome.ok && !errors.isEmpty()) outcome.failure += QStringLiteral(": ") + firstLine(errors);
    if (!outcome.ok) outcome.listing.clear();
    return outcome;
}
