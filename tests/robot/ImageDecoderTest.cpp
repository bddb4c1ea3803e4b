// The camera frame decoder on real frames: JPEG pass-through, rgb24 encoding, everything else
// empty.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>

#include "ImageTestSupport.h"
#include "robot/ImageDecoder.h"

using imagetest::rgb24Frame2x2;
using imagetest::testData;

namespace {

void expectNear(QRgb actual, int red, int green, int blue, const char* where) {
    // JPEG is lossy, more so on a picture this small: a channel may move by half the distance
    // between two test pixels, but a red/blue swap moves it by 40 and a wrong pixel by 60.
    const int tolerance = 32;
    EXPECT_NEAR(qRed(actual), red, tolerance) << where;
    EXPECT_NEAR(qGreen(actual), green, tolerance) << where;
    EXPECT_NEAR(qBlue(actual), blue, tolerance) << where;
}

// Index of the pixel of `frame` (packed rgb24) closest to `actual`.
int closestPixel(QRgb actual, const QByteArray& frame) {
    int best = -1;
    int bestDistance = 0;
    for (int i = 0; i < frame.size() / 3; ++i) {
        const int dr = qRed(actual) - quint8(frame[3 * i]);
        const int dg = qGreen(actual) - quint8(frame[3 * i + 1]);
        const int db = qBlue(actual) - quint8(frame[3 * i + 2]);
        const int distance = dr * dr + dg * dg + db * db;
        if (best < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
}

}  // namespace

TEST(ImageDecoderTest, PassesJpegFramesThroughUnchanged) {
    const QByteArray jpeg = testData(QStringLiteral("frame_64x48.jpg"));
    ASSERT_FALSE(jpeg.isEmpty());
    ImageDecoder decoder;
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "no frame yet";

    decoder.setImage(jpeg, 64, 48, 0, QStringLiteral("mjpg"));
    EXPECT_EQ(decoder.getJpeg(), jpeg);
    // Any format name containing "jpg" is a JPEG file; size and step do not matter.
    decoder.setImage(jpeg, 1, 1, 7, QStringLiteral("jpg"));
    EXPECT_EQ(decoder.getJpeg(), jpeg);
    decoder.setImage(jpeg, 0, 0, 0, QStringLiteral("camera-jpg-stream"));
    EXPECT_EQ(decoder.getJpeg(), jpeg);
    // The name is compared case-sensitively.
    decoder.setImage(jpeg, 64, 48, 0, QStringLiteral("MJPG"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty());
}

TEST(ImageDecoderTest, EncodesRgb24FramesAsJpegOfTheSameSizeAndColours) {
    ImageDecoder decoder;
    // The step is not used: the lines of an rgb24 frame are packed.
    decoder.setImage(rgb24Frame2x2(), 2, 2, 99, QStringLiteral("rgb24"));
    const QByteArray jpeg = decoder.getJpeg();
    ASSERT_TRUE(jpeg.startsWith("\xff\xd8\xff")) << "not a JPEG file";

    const QImage image = QImage::fromData(jpeg, "JPG");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(2, 2));
    // Each pixel stays nearest to its own colour: lines and pixels in the right order.
    EXPECT_EQ(closestPixel(image.pixel(0, 0), rgb24Frame2x2()), 0);
    EXPECT_EQ(closestPixel(image.pixel(1, 0), rgb24Frame2x2()), 1);
    EXPECT_EQ(closestPixel(image.pixel(0, 1), rgb24Frame2x2()), 2);
    EXPECT_EQ(closestPixel(image.pixel(1, 1), rgb24Frame2x2()), 3);
    expectNear(image.pixel(0, 0), 70, 40, 30, "top left");
    expectNear(image.pixel(1, 0), 250, 220, 210, "top right");
    expectNear(image.pixel(0, 1), 190, 160, 150, "bottom left");
    expectNear(image.pixel(1, 1), 130, 100, 90, "bottom right");

    // A larger picture keeps its size and its layout (a gradient from left to right).
    QImage gradient(64, 32, QImage::Format_RGB888);
    for (int y = 0; y < gradient.height(); ++y) {
        for (int x = 0; x < gradient.width(); ++x)
            gradient.setPixel(x, y, qRgb(x * 4, 128, 255 - x * 4));
    }
    QByteArray packed;
    for (int y = 0; y < gradient.height(); ++y) {
        packed.append(reinterpret_cast<const char*>(gradient.constScanLine(y)),
                      gradient.width() * 3);
    }
    decoder.setImage(packed, 64, 32, 64 * 3, QStringLiteral("rgb24"));
    const QImage decoded = QImage::fromData(decoder.getJpeg(), "JPG");
    ASSERT_EQ(decoded.size(), QSize(64, 32));
    expectNear(decoded.pixel(2, 16), 8, 128, 247, "left edge");
    expectNear(decoded.pixel(61, 16), 244, 128, 11, "right edge");
}

TEST(ImageDecoderTest, GivesNothingForFramesItCannotTurnIntoJpeg) {
    ImageDecoder decoder;
    QByteArray thirteen = rgb24Frame2x2();
    thirteen.append('\0');
    decoder.setImage(thirteen, 2, 2, 6, QStringLiteral("rgb24"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "13 bytes for 2 x 2";
    decoder.setImage(rgb24Frame2x2().left(11), 2, 2, 6, QStringLiteral("rgb24"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "11 bytes for 2 x 2";
    decoder.setImage(QByteArray(8, '\x80'), 2, 2, 4, QStringLiteral("yuyv"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "yuyv";
    decoder.setImage(QByteArray(), 0, 0, 0, QStringLiteral("rgb24"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "empty rgb24";
    decoder.setImage(QByteArray(), 320, 240, 0, QStringLiteral("mjpg"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "empty mjpg";
    decoder.setImage(rgb24Frame2x2(), 2, 2, 6, QString());
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "no format";
}

TEST(ImageDecoderTest, RejectsRgb24SizesThatOnlyMatchAfterWrappingAround) {
    ImageDecoder decoder;
    // 2 x (2^31 + 2) x 3 is 12 modulo 2^32: a 32-bit size check would read far past the data.
    decoder.setImage(rgb24Frame2x2(), 2, 2147483650u, 6, QStringLiteral("rgb24"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty());
    // 65536 x 65536 x 3 is 0 modulo 2^32, the size of an empty frame.
    decoder.setImage(QByteArray(), 65536, 65536, 0, QStringLiteral("rgb24"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty());
    // The decoder still works afterwards.
    decoder.setImage(rgb24Frame2x2(), 2, 2, 6, QStringLiteral("rgb24"));
    EXPECT_EQ(QImage::fromData(decoder.getJpeg(), "JPG").size(), QSize(2, 2));
}
