#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "request/Request.h"

class DeferredReply;
class ImageHandler;
class QTimer;
class ReplyStream;
struct CameraPicture;

/// getimage in its three forms: the picture of the moment; a stream of pictures (one
/// multipart/x-mixed-replace part per new frame, the no-camera picture every 5 s while there is
/// none); and the next frame after a sequence number, waited for without holding a thread.
/// Lives in the main thread, which tells it of frames and keeps its clock; the commands, and the
/// pump that sends what is due, run in the request thread.
class ImageStreams : public QObject {
    Q_OBJECT
public:
    /// Runs work in the request thread, soon.
    using RunOnLoop = std::function<void(std::function<void()> work)>;

    /// Streams open at once; one more ends the oldest.
    static constexpr int kMaxStreams = 4;
    /// Without a camera frame a stream repeats the no-camera picture this often, so that no
    /// web server's read timeout ends it.
    static constexpr qint64 kNoCameraEveryMs = 5000;
    /// How long a request for the next frame waits before it gets the newest picture.
    static constexpr qint64 kNextFrameWaitMs = 2000;
    /// How often the main thread wakes the pump while anything waits.
    static constexpr int kTickMs = 200;
    /// The stream's reply header lines and the bytes that end it.
    static const std::string kStreamHeader;
    static const std::string kClosing;

    ImageStreams(ImageHandler& images, const QByteArray& noCamPng,
                 RunOnLoop runOnLoop, QObject* parent = nullptr);
    ~ImageStreams() override;

    /// The frames these pictures come from.
    ImageHandler& images() const { return m_images; }

    /// getimage (request thread): without parameters the picture of the moment; with "stream":
    /// true a stream; with "after": N the first live frame whose sequence number is above N, or
    /// the newest picture after 2 s.
    RequestResult getImage(Request& request);

    /// Any thread: the streams open, and the requests waiting for a frame.
    int streamCount() const;
    int waitingCount() const;

    /// The header lines and the body of one stream part holding `picture`, sent at `sentMs` of
    /// the daemon's monotonic clock (a viewer whose parts come ever later than they were sent
    /// is behind: the link holds a backlog).
    static std::string partHeader(const CameraPicture& picture, qint64 sentMs);
    static QByteArray partBody(const CameraPicture& picture);

private Q_SLOTS:
    void onTick();

private:
    struct Stream {
        std::shared_ptr<ReplyStream> reply;
        quint64 sequence;  // of the frame last sent
        bool live;         // the last part was a fresh frame
        qint64 sentMs;
    };
    struct Waiter {
        std::shared_ptr<DeferredReply> reply;
        quint64 after;
        qint64 untilMs;
    };
    RequestResult openStream(Request& request);
    RequestResult nextFrame(Request& request, quint64 after);
    /// Any thread: the pump runs soon in the request thread (once for any number of calls meanwhile).
    void wake();
    /// Request thread: sends what is due to the streams and answers the waiting requests.
    void pump();
    /// With m_mutex held: counts what waits and starts the main thread's tick when it was idle.
    void countActive();

    ImageHandler& m_images;
    const QByteArray m_noCamPng;
    const RunOnLoop m_runOnLoop;
    QTimer* m_tick;  // main thread
    QElapsedTimer m_clock;
    mutable std::mutex m_mutex;
    std::vector<Stream> m_streams;  // oldest first
    std::vector<Waiter> m_waiters;
    std::atomic<int> m_streamCount{0};
    std::atomic<int> m_waitingCount{0};
    std::atomic<bool> m_wakePosted{false};
};
