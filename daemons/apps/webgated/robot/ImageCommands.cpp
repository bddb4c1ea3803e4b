#include "robot/ImageCommands.h"

#include "robot/ImageHandler.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/corvanta/rpc/Client.h"

using kel::corvanta::daemons::Log;

namespace {

// A frame older than this is not shown as the live picture.
constexpr qint64 kMaxFrameAgeMs = 1000;

}  // namespace

RequestResult getImage(Request& request, ImageHandler& images, const QByteArray& noCamPng,
                       bool noCamLoaded) {
    qint64 ageMs = 0;
    const QByteArray jpeg = images.getJpeg(&ageMs);
    // The header and the frame are written one after the other: the frame is not copied.
    if ((jpeg.isEmpty() || ageMs > kMaxFrameAgeMs) && noCamLoaded) {
        request.setRawResponse("Content-Type: image/png \r\n\r\n", noCamPng);
    } else {
        request.setRawResponse("Content-Type: image/jpeg \r\n\r\n", jpeg);
    }
    return Ack;
}

RequestResult changeRes(Request& request, kel::corvanta::rpc::Client& client) {
    const QString res = jsonToQString(request.param("res"));
    if (res.isEmpty()) return MissingParameters;
    if (res == QLatin1String("low")) {
        client.set_set_camera0_settings(320, 240, QStringLiteral("mjpg"));
        Log::singleton()->log(QStringLiteral("change to low resolution"), 1);
    } else if (res == QLatin1String("high")) {
        client.set_set_camera0_settings(640, 480, QStringLiteral("mjpg"));
        Log::singleton()->log(QStringLiteral("change to high resolution"), 1);
    } else {
        return InvalidParameters;
    }
    return Ack;
}
