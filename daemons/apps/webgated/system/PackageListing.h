#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "request/DeferredReply.h"
#include "request/Worker.h"

/// The list of installed packages for updateCheck: the package tool ("dpkg -l", found on the
/// PATH, started directly with no shell and no sudo) runs as a child process of its own, waited
/// for in a thread of its own. Requests that come while a run goes on share its result. Its
/// output is kept for that run only.
class PackageListing {
public:
    /// How long the tool may take; then it is killed with everything it started.
    static constexpr int kTimeLimitMs = 25000;

    PackageListing();
    ~PackageListing();
    PackageListing(const PackageListing&) = delete;
    PackageListing& operator=(const PackageListing&) = delete;

    /// Request thread: `reply` is finished with the outcome of the run going on, or of one
    /// started for it: `Ack` with "DATA" (the package records, also written to the list file),
    /// or `Failed`.
    void request(std::shared_ptr<DeferredReply> reply);
    /// Any thread: a run going on ends now, its tool killed (its requests are answered `Failed`).
    void cancel();
    /// Cancels the run and ends the thread; true when it ended within `waitMs`.
    bool stop(int waitMs);

    /// Tests: a shorter limit, and how many times the tool was started.
    void setTimeLimitMs(int ms) { m_timeLimitMs = ms; }
    int runs() const { return m_runs.load(); }

private:
    struct Outcome;
    void run();
    Outcome runTool();

    std::atomic<int> m_timeLimitMs{kTimeLimitMs};
    std::atomic<int> m_runs{0};
    std::mutex m_mutex;
    std::vector<std::shared_ptr<DeferredReply>> m_waiting;  // answered by the run going on
    bool m_running = false;
    pid_t m_tool = 0;        // the tool's process (and process group) while it runs
    bool m_cancelled = false;
    Worker m_worker;  // last: ends before the rest
};
