#include "robot/ImageStreams.h"

#include <QTimer>
#include <algorithm>

#include "kel/corvanta/daemons/Log.h"
#include "request/DeferredReply.h"
#include "request/ReplyStream.h"
#include "robot/ImageCommands.h"
#include "robot/ImageHandler.h"

using kel::corvanta::daemons::Log;

namespace {

// A frame older than this is no longer live: the stream shows the no-camera picture.
constexpr qint64 kLiveFrameMs = 1000;

// X-Accel-Buffering: nginx passes each part on as it comes, whatever its buffering says.
const char kBoundaryLine[] = "--webgatedframe\r\n";
const char kPartEnd[] = "\r\n--webgatedframe\r\n";

}  // namespace

const std::string ImageStreams::kStreamHeader =
    std::string("Content-Type: multipart/x-mixed-replace; boundary=webgatedframe\r\n"
                "Cache-Control: no-store\r\nX-Accel-Buffering: no\r\n\r\n") +
    kBoundaryLine;
// An empty last part, then the end of the multipart body.
const std::string ImageStreams::kClosing = "\r\n--webgatedframe--\r\n";

ImageStreams::ImageStreams(ImageHandler& images, const QByteArray& noCamPng,
                           RunOnLoop runOnLoop, QObject* parent)
    : QObject(parent),
      m_images(images),
      m_noCamPng(noCamPng),
      m_runOnLoop(std::move(runOnLoop)),
      m_tick(new QTimer(this)) {
    m_tick->setInterval(kTickMs);
    bool connected = connect(m_tick, &QTimer::timeout, this, &ImageStreams::onTick);
    connected = connect(&images, &ImageHandler::frameArrived, this, [this] { wake(); }) && connected;
    if (!connected) qFatal("ImageStreams: a signal-slot connection failed");
    m_clock.start();
}

ImageStreams::~ImageStreams() = default;

int ImageStreams::streamCount() const { return m_streamCount.load(); }
int ImageStreams::waitingCount() const { return m_waitingCount.load(); }

std::string ImageStreams::partHeader(const CameraPicture& picture, qint64 sentMs) {
    return std::string(picture.png ? "Content-Type: image/png\r\n" : "Content-Type: image/jpeg\r\n") +
           "Content-Length: " + std::to_string(picture.bytes.size()) +
           "\r\nX-Frame-Sequence: " + std::to_string(picture.sequence) +
           "\r\nX-Frame-Age-Ms: " + std::to_string(picture.ageMs) +
           "\r\nX-Frame-Sent-Ms: " + std::to_string(sentMs) + "\r\n\r\n";
}

QByteArray ImageStreams::partBody(const CameraPicture& picture) {
    // The boundary follows each picture at once: a viewer shows a part as soon as it has ended.
    QByteArray body;
    body.reserve(picture.bytes.size() + int(sizeof(kPartEnd)));
    body.append(picture.bytes);
    body.append(kPartEnd, int(sizeof(kPartEnd) - 1));
    return body;
}

RequestResult ImageStreams::getImage(Request& request) {
    const json_t* stream = request.param("stream");
    const json_t* after = request.param("after");
    if ((stream && !json_is_boolean(stream)) || (after && (!json_is_integer(after) || json_integer_value(after) < 0)) ||
        (json_is_true(stream) && after)) {
        return InvalidParameters;
    }
    if (json_is_true(stream)) return openStream(request);
    if (after) return nextFrame(request, quint64(json_integer_value(after)));
    return ::getImage(request, m_images, m_noCamPng);
}

RequestResult ImageStreams::openStream(Request& request) {
    const std::shared_ptr<ReplyStream> reply = request.openStream(kClosing);
    if (!reply) return Failed;  // too many requests wait: refused
    const CameraPicture picture = cameraPicture(m_images, m_noCamPng);
    request.setRawResponse(kStreamHeader + partHeader(picture, m_clock.elapsed()), partBody(picture));
    if (!request.loopServes()) return Ack;  // its reply ends with this one part
    std::shared_ptr<ReplyStream> oldest;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streams.erase(std::remove_if(m_streams.begin(), m_streams.end(),
                                       [](const Stream& s) { return !s.reply->isOpen(); }),
                        m_streams.end());
        if (int(m_streams.size()) >= kMaxStreams) {
            // A page that lost its stream opens it again; no one holds the streams for good.
            oldest = m_streams.front().reply;
            m_streams.erase(m_streams.begin());
        }
        const bool live = !picture.png && picture.ageMs <= kLiveFrameMs;
        m_streams.push_back({reply, picture.sequence, live, m_clock.elapsed()});
        countActive();
    }
    if (oldest) {
        oldest->end();
        Log::singleton()->log(QStringLiteral("A camera stream ended for a newer one: at most %1 are open").arg(kMaxStreams), 2);
    }
    return Ack;
}

RequestResult ImageStreams::nextFrame(Request& request, quint64 after) {
    // A live frame after the one asked after is there; or nothing serves others while this one
    // would wait: the picture of the moment.
    const bool came = m_images.sequence() > after && m_images.timeSinceLastImg() <= kLiveFrameMs;
    if (came || !request.loopServes()) return ::getImage(request, m_images, m_noCamPng);
    const std::shared_ptr<DeferredReply> reply = request.defer();
    if (!reply) return Failed;  // too many requests wait: refused
    m_images.keepCameraOn();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiters.push_back({reply, after, m_clock.elapsed() + kNextFrameWaitMs});
    countActive();
    return Ack;
}

void ImageStreams::countActive() {
    const int streams = int(m_streams.size());
    const int waiting = int(m_waiters.size());
    const bool wasIdle = m_streamCount.exchange(streams) + m_waitingCount.exchange(waiting) == 0;
    if (wasIdle && streams + waiting > 0) {
        QMetaObject::invokeMethod(this, [this] { m_tick->start(); }, Qt::QueuedConnection);
    }
}

void ImageStreams::onTick() {
    if (m_streamCount.load() + m_waitingCount.load() == 0) {
        m_tick->stop();
        return;
    }
    wake();
}

void ImageStreams::wake() {
    if (m_streamCount.load() + m_waitingCount.load() == 0 || m_wakePosted.exchange(true)) return;
    m_runOnLoop([this] { pump(); });
}

void ImageStreams::pump() {
    m_wakePosted = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_streams.erase(std::remove_if(m_streams.begin(), m_streams.end(),
                                   [](const Stream& s) { return !s.reply->isOpen(); }),
                    m_streams.end());
    if (m_streams.empty() && m_waiters.empty()) {
        countActive();
        return;
    }
    m_images.keepCameraOn();
    const quint64 sequence = m_images.sequence();
    const bool fresh = sequence > 0 && m_images.timeSinceLastImg() <= kLiveFrameMs;
    const qint64 now = m_clock.elapsed();
    // The picture of the moment, read once however many want it, and its part.
    bool read = false;
    CameraPicture picture;
    std::string header;
    QByteArray body;
    const auto current = [&]() -> const CameraPicture& {
        if (!read) {
            picture = cameraPicture(m_images, m_noCamPng);
            read = true;
        }
        return picture;
    };
    for (Stream& stream : m_streams) {
        // A new live frame, or, without one, the change to the no-camera picture and its repeats.
        if (fresh ? stream.sequence == sequence : !stream.live && now - stream.sentMs < kNoCameraEveryMs) continue;
        const CameraPicture& part = current();
        const bool live = !part.png && fresh;
        // A frame the decoder cannot turn into a picture is no reason to repeat the no-camera one.
        if (!live && !stream.live && now - stream.sentMs < kNoCameraEveryMs) {
            stream.sequence = sequence;
            continue;
        }
        if (header.empty()) {
            header = partHeader(part, now);
            body = partBody(part);
        }
        stream.reply->send(header, body);
        stream.sequence = std::max(sequence, part.sequence);  // a frame may have come meanwhile
        stream.live = live;
        stream.sentMs = now;
    }
    for (auto it = m_waiters.begin(); it != m_waiters.end();) {
        // An old frame is no new one, whatever its number (the no-camera picture is number 0).
        if (!(fresh && sequence > it->after) && now < it->untilMs) {
            ++it;
            continue;
        }
        const CameraPicture& answer = current();
        it->reply->request().setRawResponse(pictureHeader(answer), answer.bytes);
        it->reply->finish(Ack);
        it = m_waiters.erase(it);
    }
    countActive();
}
