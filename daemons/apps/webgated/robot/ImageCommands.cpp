#include "robot/ImageCommands.h"

#include "robot/ImageHandler.h"
#include "kel/corvanta/daemons/Log.h"
#include "kel/corvanta/rpc/Client.h"

using kel::corvanta::daemons::Log;

namespace {

// A frame older than this is not shown as the live picture.
constexpr qint64 kMaxFrameAgeMs = 1000;

}  // namespace

CameraPicture cameraPicture(ImageHandler& images, const QByteArray& noCamPng) {
    CameraPicture picture;
    picture.bytes = images.getJpeg(&picture.ageMs, &picture.sequence);
    if ((picture.bytes.isEmpty() || picture.ageMs > kMaxFrameAgeMs) && !noCamPng.isEmpty()) {
        picture = CameraPicture{noCamPng, true, 0, 0};
    }
    return picture;
}

std::string pictureHeader(const CameraPicture& picture) {
    std::string header = picture.png ? "Content-Type: image/png \r\n" : "Content-Type: image/jpeg \r\n";
    header += "X-Frame-Sequence: " + std::to_string(picture.sequence) + "\r\nX-Frame-Age-Ms: " +
              std::to_string(picture.ageMs) + "\r\n\r\n";
    return header;
}

RequestResult getImage(Request& request, ImageHandler& images, const QByteArray& noCamPng) {
    const CameraPicture picture = cameraPicture(images, noCamPng);
    // The header and the frame are written one after the other: the frame is not copied.
    request.setRawResponse(pictureHeader(picture), picture.bytes);
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
