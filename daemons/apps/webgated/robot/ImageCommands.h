#pragma once

#include <QByteArray>
#include <string>

#include "request/Request.h"

class ImageHandler;
namespace kel::corvanta::rpc {
class Client;
}

/// What getimage shows at a moment: the last frame as JPEG with its sequence number and age, or
/// the no-camera picture (PNG, sequence 0, age 0) when there is no frame of the last second and
/// that picture was loaded (`noCamPng` not empty).
struct CameraPicture {
    QByteArray bytes;
    bool png = false;
    quint64 sequence = 0;
    qint64 ageMs = 0;
};
CameraPicture cameraPicture(ImageHandler& images, const QByteArray& noCamPng);

/// The header lines of a reply holding `picture`: its type, sequence number and age.
std::string pictureHeader(const CameraPicture& picture);

/// getimage: writes the whole response, the picture of the moment.
RequestResult getImage(Request& request, ImageHandler& images, const QByteArray& noCamPng);

/// changeRes: "res" "low" (320 x 240) or "high" (640 x 480), both as "mjpg".
RequestResult changeRes(Request& request, kel::corvanta::rpc::Client& client);
