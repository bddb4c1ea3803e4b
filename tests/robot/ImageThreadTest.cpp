// Frames arriving on the main thread while the request thread asks for images: every answer is
// one whole frame, never a mix of two.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "ImageTestSupport.h"
#include "frame/Client.h"
#include "robot/ImageCommands.h"
#include "robot/ImageDecoder.h"

using imagetest::rgb24Frame2x2;
using imagetest::testData;
using testsupport::DaemonEnvironment;

namespace {

struct Frame {
    QByteArray data;
    unsigned int width;
    unsigned int height;
    QString format;
};

TEST(ImageThreadTest, RequestThreadSeesWholeFramesWhileFramesArrive) {
    DaemonEnvironment::instance();
    const QByteArray png = imagetest::sourceFile(QStringLiteral("resources/nocam.png"));
    const QByteArray jpeg = testData(QStringLiteral("frame_64x48.jpg"));
    ASSERT_FALSE(jpeg.isEmpty());
    QByteArray padded = jpeg;
    padded.append(QByteArray(1000, 'x'));
    // A big rgb24 frame takes a while to encode, so frames do arrive during an encoding.
    const QByteArray big(320 * 240 * 3, '\x55');
    const QList<Frame> frames = {{jpeg, 64, 48, QStringLiteral("mjpg")},
                                 {rgb24Frame2x2(), 2, 2, QStringLiteral("rgb24")},
                                 {padded, 64, 48, QStringLiteral("mjpg")},
                                 {big, 320, 240, QStringLiteral("rgb24")}};

    // Every response the request thread may see: one per frame. A frame mixed from two (an
    // rgb24 size with other bytes) would give the no-camera picture, which is not among them.
    QSet<QByteArray> expected;
    for (const Frame& frame : frames) {
        ImageDecoder decoder;
        decoder.setImage(frame.data, frame.width, frame.height, 0, frame.format);
        const QByteArray body = decoder.getJpeg();
        ASSERT_FALSE(body.isEmpty());
        expected.insert("Content-Type: image/jpeg \r\n\r\n" + body);
    }
    ASSERT_EQ(expected.size(), frames.size());

    ImageHandler handler;
    handler.on_client_image0_changed(frames[0].data, frames[0].width, frames[0].height, 0,
                                     frames[0].format);

    std::atomic<bool> done{false};
    std::atomic<int> requests{0};
    std::atomic<int> torn{0};
    std::thread requestThread([&] {
        while (!done.load()) {
            const JsonPtr query(json_object());
            const JsonPtr reply(json_object());
            Request request(query.get(), reply.get());
            getImage(request, handler, png, true);
            if (!expected.contains(request.rawResponse())) ++torn;
            ++requests;
        }
    });

    // Frames keep arriving until the request thread has answered a good number of requests.
    QElapsedTimer deadline;
    deadline.start();
    for (int i = 0; requests.load() < 300 && deadline.elapsed() < 30000; ++i) {
        const Frame& frame = frames[i % frames.size()];
        handler.on_client_image0_changed(frame.data, frame.width, frame.height, 0, frame.format);
        if (i % 20 == 0) QCoreApplication::processEvents();
    }
    done = true;
    requestThread.join();
    QCoreApplication::processEvents();

    EXPECT_GE(requests.load(), 300);
    EXPECT_EQ(torn.load(), 0) << "of " << requests.load() << " responses";
    DaemonEnvironment::instance().client().set_kel_corvanta_rpc_image0_enabled(false);
}

}  // namespace
