#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "FrameRenderer.h"
#include "SegmentText.h"

namespace {

const QRgb kRobotColour = qRgb(230, 120, 40);

// Centre of the pixels in the robot's colour.
QPointF robotCentroid(const QImage& image) {
    double sx = 0, sy = 0;
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if ((image.pixel(x, y) & 0xFFFFFF) == (kRobotColour & 0xFFFFFF)) {
                sx += x;
                sy += y;
                ++count;
            }
        }
    }
    return count ? QPointF(sx / count, sy / count) : QPointF(-1, -1);
}

TEST(FrameRendererTest, MjpgFramesAreJpegFilesOfTheSetSize) {
    for (const QSize size : {QSize(320, 240), QSize(640, 480), QSize(33, 17)}) {
        const CameraFrame frame =
            FrameRenderer::render(7, 0.5, -0.5, 1.0, size.width(), size.height(), "mjpg");
        ASSERT_TRUE(frame.data.startsWith("\xFF\xD8")) << size.width();
        const QImage decoded = QImage::fromData(frame.data, "JPG");
        EXPECT_EQ(decoded.size(), size);
        EXPECT_EQ(frame.width, static_cast<unsigned int>(size.width()));
        EXPECT_EQ(frame.height, static_cast<unsigned int>(size.height()));
        EXPECT_EQ(frame.format, "mjpg");
    }
}

TEST(FrameRendererTest, RawFramesHaveUnpaddedLinesOfTheRightStep) {
    // 321 pixels of 3 bytes is no multiple of four, so QImage's own lines are padded.
    const CameraFrame rgb = FrameRenderer::render(3, 0, 0, 0, 321, 241, "rgb24");
    EXPECT_EQ(rgb.step, 321u * 3);
    ASSERT_EQ(rgb.data.size(), 321 * 241 * 3);
    const QImage picture = FrameRenderer::picture(3, 0, 0, 0, 321, 241);
    for (const QPoint p :
         {QPoint(0, 0), QPoint(320, 0), QPoint(160, 120), QPoint(320, 240), QPoint(5, 200)}) {
        const int offset = (p.y() * 321 + p.x()) * 3;
        const QRgb expected = picture.pixel(p);
        EXPECT_EQ(static_cast<unsigned char>(rgb.data[offset]), qRed(expected));
        EXPECT_EQ(static_cast<unsigned char>(rgb.data[offset + 1]), qGreen(expected));
        EXPECT_EQ(static_cast<unsigned char>(rgb.data[offset + 2]), qBlue(expected));
    }

    const CameraFrame yuyv = FrameRenderer::render(3, 0, 0, 0, 320, 240, "yuyv");
    EXPECT_EQ(yuyv.step, 640u);
    EXPECT_EQ(yuyv.data.size(), 320 * 240 * 2);
    EXPECT_EQ(yuyv.format, "yuyv");
}

TEST(FrameRendererTest, RefusesSizesAndFormatsTheCameraCannotDeliver) {
    EXPECT_TRUE(FrameRenderer::render(1, 0, 0, 0, 320, 0, "mjpg").data.isEmpty());
    EXPECT_TRUE(FrameRenderer::render(1, 0, 0, 0, 5000, 10, "mjpg").data.isEmpty());
    EXPECT_TRUE(FrameRenderer::render(1, 0, 0, 0, 321, 240, "yuyv").data.isEmpty());
    EXPECT_TRUE(FrameRenderer::render(1, 0, 0, 0, 320, 240, "h264").data.isEmpty());
    EXPECT_TRUE(FrameRenderer::render(1, 0, 0, 0, 320, 240, "MJPG").data.isEmpty());
    EXPECT_TRUE(FrameRenderer::isSupported(640, 480, "yuyv"));
}

TEST(FrameRendererTest, ConvertsToYuyvWithStudioRangeColours) {
    struct Case {
        QRgb colour;
        int y, u, v;
    };
    // Reference values of ITU-R BT.601 in studio range.
    for (const Case& c : {Case{qRgb(255, 255, 255), 235, 128, 128},
                          Case{qRgb(0, 0, 0), 16, 128, 128}, Case{qRgb(255, 0, 0), 82, 90, 240}}) {
        QImage image(4, 2, QImage::Format_RGB32);
        image.fill(c.colour);
        const QByteArray bytes = FrameRenderer::toYuyv(image);
        ASSERT_EQ(bytes.size(), 4 * 2 * 2);
        for (int i = 0; i < bytes.size(); i += 4) {
            EXPECT_NEAR(static_cast<unsigned char>(bytes[i]), c.y, 1);
            EXPECT_NEAR(static_cast<unsigned char>(bytes[i + 1]), c.u, 1);
            EXPECT_NEAR(static_cast<unsigned char>(bytes[i + 2]), c.y, 1);
            EXPECT_NEAR(static_cast<unsigned char>(bytes[i + 3]), c.v, 1);
        }
    }
}

TEST(FrameRendererTest, PictureShowsThePoseAndTheFrameNumber) {
    const QPointF centre = robotCentroid(FrameRenderer::picture(1, 0, 0, 0, 320, 240));
    const QPointF east = robotCentroid(FrameRenderer::picture(1, 1, 0, 0, 320, 240));
    const QPointF west = robotCentroid(FrameRenderer::picture(1, -1, 0, 0, 320, 240));
    const QPointF north = robotCentroid(FrameRenderer::picture(1, 0, 1, 0, 320, 240));
    ASSERT_GE(centre.x(), 0);
    EXPECT_GT(east.x() - centre.x(), 20);
    EXPECT_NEAR(east.x() - centre.x(), centre.x() - west.x(), 1.5);
    EXPECT_NEAR(east.y(), centre.y(), 1.5);
    EXPECT_LT(north.y(), centre.y() - 20);  // north is up

    const QImage first = FrameRenderer::picture(1, 0, 0, 0, 320, 240);
    EXPECT_EQ(first, FrameRenderer::picture(1, 0, 0, 0, 320, 240));
    EXPECT_NE(first, FrameRenderer::picture(2, 0, 0, 0, 320, 240));
    EXPECT_NE(first, FrameRenderer::picture(1, 0, 0, 1.5, 320, 240));
}

TEST(SegmentTextTest, LightsMoreSegmentsForEightThanForOne) {
    auto litPixels = [](const QString& text) {
        QImage image(100, 40, QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter painter(&image);
        SegmentText::draw(&painter, QPoint(2, 2), text, 30, Qt::white);
        painter.end();
        int lit = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) lit += image.pixel(x, y) == qRgb(255, 255, 255);
        }
        return lit;
    };
    EXPECT_EQ(litPixels(" "), 0);
    EXPECT_GT(litPixels("1"), 0);
    EXPECT_GT(litPixels("8"), 2 * litPixels("1"));
    EXPECT_GT(litPixels("8"), litPixels("0"));
    EXPECT_GT(litPixels("-1"), litPixels("1"));
    EXPECT_GT(SegmentText::width("12.5", 30), SegmentText::width("125", 30));
}

}  // namespace
