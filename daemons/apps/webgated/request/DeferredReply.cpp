#include "request/DeferredReply.h"

#include "request/Request.h"

std::shared_ptr<DeferredReply> Request::defer() {
    if (!m_deferred && !m_mayDefer) {
        m_deferRefused = true;
        return nullptr;
    }
    if (!m_deferred) m_deferred = std::make_shared<DeferredReply>();
    return m_deferred;
}

DeferredReply::DeferredReply() = default;
DeferredReply::~DeferredReply() = default;

void DeferredReply::finish(RequestResult result, JsonPtr members) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_finished) return;
    m_finished = true;
    m_result = result;
    m_members = std::move(members);
    deliverIfReady(lock);
}

void DeferredReply::fail() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_finished) return;
    m_finished = true;
    m_threw = true;
    deliverIfReady(lock);
}

void DeferredReply::adopt(std::unique_ptr<Request> request, JsonPtr query, Sink sink) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_request = std::move(request);
    m_query = std::move(query);
    m_sink = std::move(sink);
    m_adopted = true;
    deliverIfReady(lock);
}

void DeferredReply::addMembers() {
    if (!m_members) return;
    json_object_update(m_request->reply(), m_members.get());
    m_members.reset();
}

void DeferredReply::deliverIfReady(std::unique_lock<std::mutex>& lock) {
    if (!m_adopted || !m_finished || m_delivered) return;
    m_delivered = true;
    Sink sink = std::move(m_sink);
    lock.unlock();  // the sink may take locks of its own
    sink(shared_from_this());
}
