#include "ImageCommands.h"

#include "ImageHandler.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/corvanta/rpc/Client.h"

using kel::corvanta::daemons::Log;

namespace {

// A frame older than this is not shown as the live picture.
constexpr qint64 kMaxFrameAgeMs = 1000;

}  // namespace

RequestResult getImage(Request& request, ImageHandler& images, const QByteArray& noCamPng,
                       bool noCamLoaded) {
    QByteArray bytes = images.getJpeg();
    QByteArray type = "jpeg";
    if ((bytes.isEmpty() || images.timeSinceLastImg() > kMaxFrameAgeMs) && noCamLoaded) {
        bytes = noCamPng;
        type = "png";
    }
    request.setRawResponse("Content-Type: image/" + type + " \r\n\r\n" + bytes);
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
