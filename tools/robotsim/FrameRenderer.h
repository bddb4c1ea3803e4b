#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

/// One camera frame as the robot publishes it.
struct CameraFrame {
    QByteArray data;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int step = 0;  // bytes per line of raw formats; 0 for JPEG
    QString format;
};

/// Draws the simulated camera's test picture (a map of the room with the robot, the frame number
/// and the pose) and encodes it as "mjpg" (a JPEG file), "rgb24" or "yuyv" (raw, no line padding).
class FrameRenderer {
public:
    static constexpr unsigned int kMaxWidth = 4096;
    static constexpr unsigned int kMaxHeight = 4096;

    /// True for a size and format the camera can deliver.
    static bool isSupported(unsigned int width, unsigned int height, const QString& format);

    /// The test picture in 32-bit RGB. `phi` in radians, x and y in metres from the room centre.
    static QImage picture(quint64 frameNumber, double x, double y, double phi, int width,
                          int height);
    /// An encoded frame; empty data when the size or format is not supported.
    static CameraFrame render(quint64 frameNumber, double x, double y, double phi,
                              unsigned int width, unsigned int height, const QString& format);

    static QByteArray toJpeg(const QImage& image, int quality = 80);
    static QByteArray toRgb24(const QImage& image);
    static QByteArray toYuyv(const QImage& image);
};
