#include "request/Worker.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <chrono>

Worker::Worker(size_t maxJobs) : m_maxJobs(maxJobs) {}

Worker::~Worker() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_changed.notify_all();
    // The daemon only destroys a worker whose stop() succeeded; a test that did not stop it
    // waits for the job in progress here.
    if (m_thread.joinable()) m_thread.join();
}

Worker::Posted Worker::post(Job job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return Posted::Stopping;
        if (m_jobs.size() >= m_maxJobs) return Posted::Full;
        m_jobs.push_back(std::move(job));
        if (!m_thread.joinable()) m_thread = std::thread(&Worker::run, this);
    }
    m_changed.notify_all();
    return Posted::Queued;
}

bool Worker::stop(int waitMs) {
    std::deque<Job> dropped;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stopping = true;
    dropped.swap(m_jobs);
    m_changed.notify_all();
    if (!m_thread.joinable()) return true;  // never started, or joined already
    const bool ended =
        m_changed.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_ended; });
    lock.unlock();
    if (ended && m_thread.joinable()) m_thread.join();
    return ended;  // the dropped jobs go here, outside the lock
}

void Worker::run() {
    // Process signals are the main thread's; a child started from here sets its own mask. The
    // thread may have been started by the request thread: it keeps the usual policy, not that
    // thread's, and so do the programs it starts.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const sched_param normal = {};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping) break;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr;  // what it holds goes before the next wait
        lock.lock();
    }
    m_ended = true;
    m_changed.notify_all();
}
