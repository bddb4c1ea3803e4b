#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "base/Json.h"
#include "request/RequestResult.h"

class Request;

/// The reply to a request whose command answers later: the command hands it to whatever does
/// the work, which finishes it from any thread, once. The request loop meanwhile serves the
/// other connections and writes this reply when it comes.
class DeferredReply : public std::enable_shared_from_this<DeferredReply> {
public:
    using Sink = std::function<void(std::shared_ptr<DeferredReply>)>;

    DeferredReply();
    ~DeferredReply();
    DeferredReply(const DeferredReply&) = delete;
    DeferredReply& operator=(const DeferredReply&) = delete;

    /// Any thread, once: the command's result; the members of `members` (when set) are added to
    /// the reply. A later call is ignored.
    void finish(RequestResult result, JsonPtr members = JsonPtr());
    /// The same for a command that threw: the request gets no reply, as a handler that throws
    /// in the request loop.
    void fail();

    // The request loop's side.

    /// The request as its handler left it; its query is kept alive with it.
    Request& request() { return *m_request; }
    /// Takes over the request and the query it reads, and where the reply goes once finished
    /// (at once when it is finished already). Called once, by the thread that ran the handler.
    void adopt(std::unique_ptr<Request> request, JsonPtr query, Sink sink);

    RequestResult result() const { return m_result; }
    bool threw() const { return m_threw; }
    /// Moves the members given to finish() into the reply object.
    void addMembers();

    // What the figures and the log lines of the request need at its end.
    size_t row = 0;
    bool head = false;
    std::chrono::steady_clock::time_point start;

private:
    void deliverIfReady(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::unique_ptr<Request> m_request;
    JsonPtr m_query;
    Sink m_sink;
    bool m_adopted = false;
    bool m_finished = false;
    bool m_delivered = false;
    bool m_threw = false;
    RequestResult m_result = Failed;
    JsonPtr m_members;
};
