#include "robot/ImageHandler.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <limits>

#include "robot/ImageDecoder.h"
#include "service/Client.h"
#include "kel/corvanta/daemons/EventMailbox.h"
#include "kel/corvanta/daemons/Log.h"

using kel::corvanta::daemons::Log;

namespace {

constexpr unsigned int kDefaultRequestTimeoutMs = 2000;

}  // namespace

ImageHandler::ImageHandler()
    : m_decoder(new ImageDecoder(this)),
      m_requestTimeoutTimer(new QTimer(this)),
      m_mailbox(new kel::corvanta::daemons::EventMailbox(this)) {
    Client* client = Client::singleton();
    bool connected =
        connect(client, &Client::image0_changed, this, &ImageHandler::on_client_image0_changed);
    connected = connect(m_requestTimeoutTimer, &QTimer::timeout, this,
                        &ImageHandler::on_imageRequestTimeoutTimer_timeout) &&
                connected;
    if (!connected) qFatal("ImageHandler: a signal-slot connection failed");

    bool ok = false;
    unsigned int timeoutMs =
        client->getParameter(QStringLiteral("~/image_request_timeout"), kDefaultRequestTimeoutMs)
            .toUInt(&ok);
    // A value that is not a number keeps the default: read as 0 it would stop the camera at once.
    if (!ok) timeoutMs = kDefaultRequestTimeoutMs;
    m_requestTimeoutTimer->setSingleShot(true);
    m_requestTimeoutMs = int(qMin(timeoutMs, unsigned(std::numeric_limits<int>::max())));
    m_requestTimeoutTimer->setInterval(m_requestTimeoutMs);
    m_clock.start();

    m_lastFrameTime.start();
}

ImageHandler::~ImageHandler() = default;

QByteArray ImageHandler::getJpeg() { return getJpeg(nullptr); }

void ImageHandler::keepCameraOn() {
    m_lastRequestMs.store(m_clock.elapsed());
    if (!m_topicOn.load()) m_mailbox->post(new SetImageTopicEnableEvent());
}

QByteArray ImageHandler::getJpeg(qint64* ageMs, quint64* sequence) {
    keepCameraOn();
    QMutexLocker locker(&m_imageMutex);
    // A detail line: written always, it would grow the log by every poll of every open page.
    Log* log = Log::singleton();
    if (log->verbosity() >= 5) {
        log->log(QStringLiteral("ImageHandler::getImageData() Thread ID = %1")
                     .arg(quint64(reinterpret_cast<quintptr>(QThread::currentThreadId()))),
                 5);
    }
    if (ageMs) *ageMs = m_lastFrameTime.elapsed() + m_lastFrameAgeMs;
    if (sequence) *sequence = m_sequence;
    return m_decoder ? m_decoder->getJpeg() : QByteArray();
}

quint64 ImageHandler::sequence() const {
    QMutexLocker locker(&m_imageMutex);
    return m_sequence;
}

qint64 ImageHandler::timeSinceLastImg() const {
    QMutexLocker locker(&m_imageMutex);
    return m_lastFrameTime.elapsed() + m_lastFrameAgeMs;
}

int ImageHandler::requestTimeoutMs() const { return m_requestTimeoutMs; }

void ImageHandler::on_client_image0_changed(const QByteArray& data, unsigned int width,
                                            unsigned int height, unsigned int step,
                                            const QString& format) {
    {
        QMutexLocker locker(&m_imageMutex);
        m_decoder->setImage(data, width, height, step, format);
        m_lastFrameTime.restart();
        m_lastFrameAgeMs = 0;
        ++m_sequence;
    }
    Q_EMIT frameArrived();
}

void ImageHandler::customEvent(QEvent* event) {
    if (event->type() != SetImageTopicEnableEvent::EventType) return;
    Client::singleton()->set_kel_corvanta_rpc_image0_enabled(true);
    m_topicOn.store(true);
    m_requestTimeoutTimer->start(m_requestTimeoutMs);
}

void ImageHandler::ageLastFrame(qint64 ms) {
    QMutexLocker locker(&m_imageMutex);
    m_lastFrameAgeMs += ms;
}

void ImageHandler::on_imageRequestTimeoutTimer_timeout() {
    // Cleared before the last poll's time is read: a poll that still saw the topic on is then
    // seen here, and one that comes later finds it off and switches it on again.
    m_topicOn.store(false);
    const qint64 idleMs = m_clock.elapsed() - m_lastRequestMs.load();
    if (idleMs < m_requestTimeoutMs) {
        m_topicOn.store(true);
        m_requestTimeoutTimer->start(int(m_requestTimeoutMs - idleMs));
        return;
    }
    Client::singleton()->set_kel_corvanta_rpc_image0_enabled(false);
}
