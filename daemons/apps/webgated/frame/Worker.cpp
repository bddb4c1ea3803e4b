#include "frame/Worker.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>

Worker::Worker() : m_thread(&Worker::run, this) {}

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

bool Worker::post(Job job) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return false;
        m_jobs.push_back(std::move(job));
    }
    m_changed.notify_all();
    return true;
}

bool Worker::stop(int waitMs) {
    std::deque<Job> dropped;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stopping = true;
    dropped.swap(m_jobs);
    m_changed.notify_all();
    const bool ended =
        m_changed.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_ended; });
    lock.unlock();
    if (ended && m_thread.joinable()) m_thread.join();
    return ended;  // the dropped jobs go here, outside the lock
}

void Worker::run() {
    // Process signals are the main thread's; a child started from here sets its own mask.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
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
