#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QString>
#include <atomic>

class ImageDecoder;
namespace kel::corvanta::daemons {
class EventMailbox;
}
class QTimer;

/// The camera image cache: keeps the robot's camera topic on while the page polls for images,
/// holds the last frame and knows how old it is. Lives in the main thread; `getJpeg` and
/// `timeSinceLastImg` are for the request thread.
class ImageHandler : public QObject {
    Q_OBJECT
public:
    /// Asks the main thread to switch the camera topic on and restart the request timeout.
    class SetImageTopicEnableEvent : public QEvent {
    public:
        static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User);
        SetImageTopicEnableEvent() : QEvent(EventType) {}
    };

    /// Connects to the RPC client's camera signal and reads "~/image_request_timeout".
    ImageHandler();
    ~ImageHandler() override;

    /// The last frame as a JPEG file (empty when there is none); keeps the camera topic on.
    QByteArray getJpeg();
    /// The same, and the frame's age as timeSinceLastImg() gives it and its sequence number
    /// (0 before the first frame), read together.
    QByteArray getJpeg(qint64* ageMs, quint64* sequence = nullptr);
    /// Keeps the camera topic on for the request timeout from now, as getJpeg() does.
    void keepCameraOn();
    /// The sequence number of the last frame: each frame that arrives counts one up (0: none yet).
    quint64 sequence() const;
    /// Milliseconds since the last frame arrived (or since construction).
    qint64 timeSinceLastImg() const;
    /// The request timeout in milliseconds, as read at construction.
    int requestTimeoutMs() const;

Q_SIGNALS:
    /// A frame has arrived (main thread).
    void frameArrived();

public Q_SLOTS:
    void on_client_image0_changed(const QByteArray& data, unsigned int width, unsigned int height,
                                  unsigned int step, const QString& format);

protected:
    void customEvent(QEvent* event) override;
    /// Moves the last frame's arrival `ms` milliseconds into the past.
    void ageLastFrame(qint64 ms);

private Q_SLOTS:
    void on_imageRequestTimeoutTimer_timeout();

private:
    mutable QMutex m_imageMutex;  // taken before the decoder's frame mutex, never after
    ImageDecoder* m_decoder;
    QElapsedTimer m_lastFrameTime;  // monotonic
    qint64 m_lastFrameAgeMs = 0;
    quint64 m_sequence = 0;
    QTimer* m_requestTimeoutTimer;
    int m_requestTimeoutMs = 0;
    kel::corvanta::daemons::EventMailbox* m_mailbox;  // hands the request thread's events over
    // A poll wakes the main thread only while the topic is off; otherwise it leaves its time
    // here and the timeout, when it fires, waits on for what is left of the interval.
    QElapsedTimer m_clock;
    std::atomic<qint64> m_lastRequestMs{0};
    std::atomic<bool> m_topicOn{false};
};
