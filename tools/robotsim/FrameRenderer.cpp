#include "FrameRenderer.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "RobotModel.h"
#include "SegmentText.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

unsigned char clampByte(int value) { return static_cast<unsigned char>(std::clamp(value, 0, 255)); }

}  // namespace

bool FrameRenderer::isSupported(unsigned int width, unsigned int height, const QString& format) {
    if (width == 0 || height == 0 || width > kMaxWidth || height > kMaxHeight) return false;
    if (format == QLatin1String("mjpg") || format == QLatin1String("rgb24")) return true;
    // YUYV packs two pixels into four bytes, so lines hold an even number of pixels.
    return format == QLatin1String("yuyv") && width % 2 == 0;
}

QImage FrameRenderer::picture(quint64 frameNumber, double x, double y, double phi, int width,
                              int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(40, 44, 52));
    QPainter painter(&image);

    // Room map: a square on the left, the robot as a disc with a heading line.
    const int margin = std::max(2, std::min(width, height) / 24);
    const int side = std::max(4, std::min(height, width * 2 / 3) - 2 * margin);
    const QRect room(margin, margin, side, side);
    painter.fillRect(room, QColor(225, 225, 210));
    painter.fillRect(room.adjusted(2, 2, -2, -2), QColor(90, 110, 90));
    const double scale = side / RobotModel::kRoomSize;
    const QPointF centre(room.center().x() + x * scale, room.center().y() - y * scale);
    const double radius = std::max(2.0, RobotModel::kBodyRadius * scale);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(230, 120, 40));
    painter.drawEllipse(centre, radius, radius);
    painter.setPen(QPen(QColor(20, 20, 20), std::max(1.0, radius / 4)));
    painter.drawLine(centre, centre + QPointF(std::cos(phi), -std::sin(phi)) * radius);

    // Colour bars and the numbers right of the map.
    const int textLeft = room.right() + 2 * margin;
    const int textWidth = width - textLeft - margin;
    const int digitHeight = std::max(8, height / 16);
    if (textWidth > 0) {
        static const QColor bars[] = {Qt::white,   Qt::yellow, Qt::cyan, Qt::green,
                                      Qt::magenta, Qt::red,    Qt::blue, Qt::black};
        const int barWidth = std::max(1, textWidth / 8);
        for (int i = 0; i < 8; ++i) {
            painter.fillRect(QRect(textLeft + i * barWidth, margin, barWidth, digitHeight),
                             bars[i]);
        }
        const QStringList lines = {QString::number(frameNumber), QString::number(x, 'f', 2),
                                   QString::number(y, 'f', 2),
                                   QString::number(phi * 180 / kPi, 'f', 1)};
        int top = margin + 2 * digitHeight;
        for (const QString& line : lines) {
            SegmentText::draw(&painter, QPoint(textLeft, top), line, digitHeight,
                              QColor(120, 255, 120));
            top += digitHeight * 3 / 2;
        }
    }
    painter.end();
    return image;
}

CameraFrame FrameRenderer::render(quint64 frameNumber, double x, double y, double phi,
                                  unsigned int width, unsigned int height, const QString& format) {
    CameraFrame frame;
    frame.width = width;
    frame.height = height;
    frame.format = format;
    if (!isSupported(width, height, format)) return frame;
    const QImage image =
        picture(frameNumber, x, y, phi, static_cast<int>(width), static_cast<int>(height));
    if (format == QLatin1String("mjpg")) {
        frame.data = toJpeg(image);
    } else if (format == QLatin1String("rgb24")) {
        frame.data = toRgb24(image);
        frame.step = width * 3;
    } else {
        frame.data = toYuyv(image);
        frame.step = width * 2;
    }
    return frame;
}

QByteArray FrameRenderer::toJpeg(const QImage& image, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image)) return QByteArray();
    return bytes;
}

QByteArray FrameRenderer::toRgb24(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    const int lineBytes = rgb.width() * 3;
    QByteArray bytes(lineBytes * rgb.height(), Qt::Uninitialized);
    // QImage pads lines to four bytes; the frame has none.
    for (int row = 0; row < rgb.height(); ++row) {
        std::copy_n(rgb.constScanLine(row), lineBytes, bytes.data() + row * lineBytes);
    }
    return bytes;
}

QByteArray FrameRenderer::toYuyv(const QImage& image) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    const int w = rgb.width() & ~1;
    QByteArray bytes(w * 2 * rgb.height(), Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(bytes.data());
    for (int row = 0; row < rgb.height(); ++row) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(row));
        for (int col = 0; col < w; col += 2) {
            const QRgb p0 = line[col];
            const QRgb p1 = line[col + 1];
            // ITU-R BT.601, studio range; chroma from the average of the pixel pair.
            auto luma = [](QRgb p) {
                return clampByte(((66 * qRed(p) + 129 * qGreen(p) + 25 * qBlue(p) + 128) >> 8) +
                                 16);
            };
            const int r = (qRed(p0) + qRed(p1)) / 2;
            const int g = (qGreen(p0) + qGreen(p1)) / 2;
            const int b = (qBlue(p0) + qBlue(p1)) / 2;
            *out++ = luma(p0);
            *out++ = clampByte(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            *out++ = luma(p1);
            *out++ = clampByte(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        }
    }
    return bytes;
}
