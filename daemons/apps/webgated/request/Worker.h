#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

/// A thread of its own for work that may block (the disk, a local socket, a child process):
/// jobs run one after the other in the order they were posted. Neither the main thread (the
/// drive timer and its watchdog) nor the request thread ever waits for one. The thread starts
/// with the first job.
class Worker {
public:
    using Job = std::function<void()>;

    /// At most `maxJobs` wait at once: a live request holds one of the loop's connections, so
    /// more can only come from requests whose peers have left meanwhile.
    explicit Worker(size_t maxJobs = 64);
    /// Ends the thread once the job it runs has returned; jobs not started are dropped.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    enum class Posted { Queued, Full, Stopping };
    /// Any thread: queues `job`; when it is not queued (full, or the worker stops) it is dropped.
    Posted post(Job job);
    /// Any thread: takes no more jobs and drops those not started; true when the thread has ended
    /// within `waitMs` (a job that blocks longer keeps it; the caller decides what then).
    bool stop(int waitMs);

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    const size_t m_maxJobs;
    bool m_stopping = false;
    bool m_ended = false;
    std::thread m_thread;
};
