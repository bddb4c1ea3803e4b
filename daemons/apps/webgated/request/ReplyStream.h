#pragma once

#include <QByteArray>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

/// A raw reply that stays open: after the part its command answered with, whatever feeds it sends
/// further parts from any thread until the reply ends. A part its peer has not begun to take is
/// replaced by the next one, so a slow peer gets the newest part, never a queue. It ends when the
/// feeder ends it, its peer leaves or aborts, a peer takes nothing for too long, or the daemon
/// stops (then with its closing bytes).
class ReplyStream {
public:
    /// Hands a part to the request loop: header bytes, body bytes, and whether more may follow.
    using Post = std::function<void(std::string head, QByteArray body, bool more)>;

    explicit ReplyStream(std::string closing) : m_closing(std::move(closing)) {}
    ReplyStream(const ReplyStream&) = delete;
    ReplyStream& operator=(const ReplyStream&) = delete;

    /// Any thread: false once the reply has ended.
    bool isOpen() const { return m_open.load(); }
    /// Any thread: sends `head` and then `body` as the next part. False once the reply has ended.
    bool send(std::string head, QByteArray body);
    /// Any thread: ends the reply with its closing bytes.
    void end();
    /// What ends the reply.
    const std::string& closing() const { return m_closing; }

    // The request loop's side.

    /// Where parts go from now on.
    void attach(Post post);
    /// The reply has ended; what is sent later goes nowhere.
    void ended();

private:
    std::mutex m_mutex;
    Post m_post;
    std::atomic<bool> m_open{true};
    const std::string m_closing;
};
