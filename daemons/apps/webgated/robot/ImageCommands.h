#pragma once

#include <QByteArray>

#include "request/Request.h"

class ImageHandler;
namespace kel::corvanta::rpc {
class Client;
}

/// getimage: writes the whole response, the latest camera frame as JPEG, or `noCamPng` when
/// there is no frame of the last second and that picture was loaded.
RequestResult getImage(Request& request, ImageHandler& images, const QByteArray& noCamPng,
                       bool noCamLoaded);

/// changeRes: "res" "low" (320 x 240) or "high" (640 x 480), both as "mjpg".
RequestResult changeRes(Request& request, kel::corvanta::rpc::Client& client);
