#include "request/ReplyStream.h"

#include "request/Request.h"

std::shared_ptr<ReplyStream> Request::openStream(std::string closing) {
    if (!m_mayDefer) {
        m_deferRefused = true;
        return nullptr;
    }
    m_stream = std::make_shared<ReplyStream>(std::move(closing));
    return m_stream;
}

bool ReplyStream::send(std::string head, QByteArray body) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open.load()) return false;
    if (m_post) m_post(std::move(head), std::move(body), true);
    return true;
}

void ReplyStream::end() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_open.exchange(false)) return;
    if (m_post) m_post(m_closing, QByteArray(), false);
    m_post = nullptr;
}

void ReplyStream::attach(Post post) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_open.load()) m_post = std::move(post);
}

void ReplyStream::ended() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
    m_post = nullptr;
}
