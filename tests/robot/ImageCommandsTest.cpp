// The camera: the frame decoder (JPEG passed through, rgb24 encoded, anything else and sizes that
// only match after wrapping around refused), getimage byte for byte with its no-camera fallback
// rules, each frame's sequence number and age, its stream and next-frame forms where no loop serves
// (their replies over a socket are the transport's tests), changeRes with the camera topic and
// settings on the wire, and whole frames for the request thread while frames arrive.
// ctest: threads
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QSet>
#include <QTimer>
#include <atomic>
#include <thread>

#include "DaemonEnvironment.h"
#include "E2e.h"
#include "Fcgi.h"
#include "TestRobot.h"
#include "Wait.h"
#include "service/Client.h"
#include "robot/ImageCommands.h"
#include "robot/ImageDecoder.h"
#include "robot/ImageHandler.h"
#include "robot/ImageStreams.h"

using namespace testsupport;

namespace {

/// Packed rgb24 lines: noise from a seed of the size, or one flat colour.
QByteArray rgb24Frame(unsigned width, unsigned height, bool noisy = true) {
    QByteArray data(int(width * height * 3), '\0');
    quint32 state = width * 7919u + height;
    for (int i = 0; i < data.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = char(noisy ? state >> 24 : 40 + i % 3 * 90);
    }
    return data;
}

/// An image handler whose last frame can be made older without waiting.
class AgeableImageHandler : public ImageHandler {
public:
    using ImageHandler::ageLastFrame;
};


// The no-camera picture is number 0 and never old.
const QByteArray kPngHeader = "Content-Type: image/png \r\nX-Frame-Sequence: 0\r\nX-Frame-Age-Ms: 0\r\n\r\n";
const QByteArray kJpegHeader = "Content-Type: image/jpeg \r\nX-Frame-Sequence: ";

DaemonEnvironment& env() { return DaemonEnvironment::instance(); }

TEST(GetImageTest, AnswersTheFreshFrameOrTheNoCameraPictureWithItsSequenceAndAge) {
    env();
    const QByteArray png = sourceFile("resources/nocam.png");
    const QByteArray jpeg = sourceFile("tests/data/image/frame_64x48.jpg");
    ASSERT_FALSE(png.isEmpty() || jpeg.isEmpty());
    const struct {
        QByteArray frame;  // none: keep the last one
        const char* format;
        qint64 age;  // added to the last frame's age
        bool noCamLoaded;
        bool noCamera;  // the answer is the no-camera picture
        QByteArray body;
    } steps[] = {
        {{}, nullptr, 0, true, true, png},  // before any frame
        {{}, nullptr, 0, false, false, ""},      // and no picture to fall back on
        {jpeg, "mjpg", 0, true, false, jpeg},
        {jpeg + "trailing bytes are part of the frame", "mjpg", 0, true, false, jpeg + "trailing bytes are part of the frame"},
        // A frame the decoder refuses (its own test has every kind) is no frame.
        {rgb24Frame(2, 2) + '\x7f', "rgb24", 0, true, true, png},
        {{}, nullptr, 0, false, false, ""},
        {jpeg, "mjpg", 600, true, false, jpeg},
        {{}, nullptr, 500, true, true, png},  // older than a second
        {{}, nullptr, 0, false, false, jpeg},  // but sent when there is nothing else
        {jpeg, "mjpg", 0, true, false, jpeg},  // a new frame is fresh again
    };
    AgeableImageHandler handler;
    quint64 frames = 0;
    qint64 aged = 0;
    for (const auto& step : steps) {
        if (step.format) {
            handler.on_client_image0_changed(step.frame, 64, 48, 0, QString::fromLatin1(step.format));
            ++frames;
            aged = 0;
        }
        handler.ageLastFrame(step.age);
        aged += step.age;
        const CommandCall call = callCommand(R"({"TYPE":"getimage"})", [&](Request& r) {
            return getImage(r, handler, step.noCamLoaded ? png : QByteArray());
        });
        SCOPED_TRACE(call.raw.left(120).toStdString());
        const qsizetype split = call.raw.indexOf("\r\n\r\n") + 4;
        EXPECT_TRUE(call.raw.mid(split) == step.body);
        if (step.noCamera) {
            EXPECT_EQ(call.raw.left(split), kPngHeader);
        } else {
            // The frame's number, and its age: at least what it was made older by.
            const QByteArray numbered = kJpegHeader + QByteArray::number(frames) + "\r\nX-Frame-Age-Ms: ";
            EXPECT_TRUE(call.raw.startsWith(numbered));
            EXPECT_GE(call.raw.mid(numbered.size(), split - 4 - numbered.size()).toLongLong(), aged);
        }
        EXPECT_EQ(json_object_size(call.reply.get()), 0u);  // a raw reply adds nothing to the JSON
    }
    env().client().set_kel_corvanta_rpc_image0_enabled(false);
}

// Without a loop that serves others meanwhile (a CGI request, the request function alone) a stream
// is its first part and its end, and a request for the next frame is answered at once.
TEST(GetImageTest, TakesAStreamOrTheNextFrameAndRefusesAnythingElse) {
    const QByteArray png = env().fcgi().context().noCamPng;
    for (const char* bad : {R"("stream":"yes")", R"("stream":1)", R"("after":-1)", R"("after":1.5)", R"("after":"3")",
                            R"("stream":true,"after":3)", R"("stream":null)"}) {
        EXPECT_EQ(env().reply(QByteArray(R"({"TYPE":"getimage",)") + bad + "}"), kReplyInvalid) << bad;
    }
    for (const char* now : {R"("stream":false)", R"("after":5)", R"("stream":false,"after":0)"}) {
        EXPECT_EQ(env().request(QByteArray(R"({"TYPE":"getimage",)") + now + "}"), kPngHeader + png) << now;
    }
    // The part says when it was sent, on the daemon's clock.
    const QByteArray stream = env().request(R"({"TYPE":"getimage","stream":true})");
    const QByteArray head = QByteArray::fromStdString(ImageStreams::kStreamHeader) +
                            "Content-Type: image/png\r\nContent-Length: " + QByteArray::number(png.size()) +
                            "\r\nX-Frame-Sequence: 0\r\nX-Frame-Age-Ms: 0\r\nX-Frame-Sent-Ms: ";
    const QByteArray tail = "\r\n\r\n" + png + "\r\n--webgatedframe\r\n\r\n--webgatedframe--\r\n";
    ASSERT_TRUE(stream.startsWith(head) && stream.endsWith(tail)) << stream.left(300).constData();
    bool number = false;
    stream.mid(head.size(), stream.size() - head.size() - tail.size()).toLongLong(&number);
    EXPECT_TRUE(number);
    RequestHeaders headOnly;
    headOnly.method = "HEAD";
    EXPECT_EQ(env().fcgi().processRequest(R"({"TYPE":"getimage","stream":true})", headOnly),
              QByteArray::fromStdString(ImageStreams::kStreamHeader).left(ImageStreams::kStreamHeader.find("\r\n\r\n") + 4));
    EXPECT_EQ(env().fcgi().context().camera.streamCount(), 0);
    env().client().set_kel_corvanta_rpc_image0_enabled(false);
}

TEST(ImageWireTest, PollingSwitchesTheCameraOnAndSilenceOffOnceAndChangeResSendsTheSettings) {
    ASSERT_TRUE(!env().fcgi().context().noCamPng.isEmpty());
    EXPECT_EQ(env().fcgi().context().noCamPng, sourceFile("resources/nocam.png"));  // served as the file has it
    EXPECT_EQ(env().request("%7B%22TYPE%22:%22getimage%22%7D"), kPngHeader + env().fcgi().context().noCamPng);
    env().setConfig("image_request_timeout=300\n");
    TestRobot robot;
    ASSERT_TRUE(env().connectTo(robot));
    // The daemon's own handler switches the camera off in its own time after the requests above.
    ASSERT_TRUE(waitFor([&] { return !robot.isSwitchedOn("image0"); }));
    ASSERT_TRUE(env().syncWith(robot));
    ImageHandler handler;
    const auto poll = [&] {
        callCommand("{}", [&](Request& r) { return getImage(r, handler, QByteArray()); });
    };
    for (int round = 1; round <= 2; ++round) {
        poll();
        ASSERT_TRUE(waitFor([&] { return robot.isSwitchedOn("image0"); }));
        ASSERT_TRUE(waitFor([&] { return !robot.isSwitchedOn("image0"); }));
        EXPECT_FALSE(handler.findChild<QTimer*>()->isActive());  // the timeout does not repeat
        EXPECT_EQ(switchesIn(robot.messages(), "image0", true), round);
        EXPECT_EQ(switchesIn(robot.messages(), "image0", false), round);
    }
    // changeRes takes exactly "low" and "high" and sends each on.
    const struct {
        const char* res;
        QByteArray reply;
    } rows[] = {
        {R"("high")", R"({"TYPE":"ACK"})"}, {R"("HIGH")", kReplyInvalid},
        {R"("low ")", kReplyInvalid}, {R"("medium")", kReplyInvalid}, {R"("")", kReplyMissing},
        {"640", kReplyMissing}, {"null", kReplyMissing}, {R"("low")", R"({"TYPE":"ACK"})"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(env().reply(QByteArray(R"({"TYPE":"changeRes","res":)") + row.res + "}"), row.reply) << row.res;
    }
    EXPECT_EQ(env().reply(R"({"TYPE":"changeRes","RES":"low"})"), kReplyMissing);
    env().setConfig("");
    ASSERT_TRUE(env().syncWith(robot, false));
    EXPECT_EQ(robot.commands("set_camera0_settings"), (QList<QJsonArray>{{640, 480, "mjpg"}, {320, 240, "mjpg"}}));
    env().client().disconnectFromServer();
}

TEST(ImageDecoderTest, PassesJpegThroughAndEncodesRgb24AsQtsJpegWriterDoes) {
    const QByteArray jpeg = sourceFile("tests/data/image/frame_64x48.jpg");
    ASSERT_FALSE(jpeg.isEmpty());
    ImageDecoder decoder;
    EXPECT_TRUE(decoder.getJpeg().isEmpty()) << "no frame yet";
    // Any format name containing "jpg" (case matters) is a JPEG file; size and step do not matter.
    decoder.setImage(jpeg, 1, 1, 7, QStringLiteral("camera-jpg-stream"));
    EXPECT_EQ(decoder.getJpeg(), jpeg);
    decoder.setImage(jpeg, 64, 48, 0, QStringLiteral("MJPG"));
    EXPECT_TRUE(decoder.getJpeg().isEmpty());

    // The bytes web pages have always received: QImageWriter's at its default quality.
    const struct {
        unsigned width, height;
        bool noisy;
    } frames[] = {{1, 1, false}, {1, 1, true}, {3, 5, true},   {17, 9, true},
                  {17, 9, false}, {64, 48, true}, {64, 48, false}, {320, 240, true}};
    for (const auto& f : frames) {
        const QByteArray data = rgb24Frame(f.width, f.height, f.noisy);
        const QImage image(reinterpret_cast<const uchar*>(data.constData()), int(f.width), int(f.height),
                           int(f.width * 3), QImage::Format_RGB888);
        QByteArray expected;
        QBuffer buffer(&expected);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpg");
        writer.setQuality(-1);
        ASSERT_TRUE(writer.write(image)) << writer.errorString().toStdString();
        decoder.setImage(data, f.width, f.height, f.width * 3 + 5, QStringLiteral("rgb24"));  // lines are packed
        EXPECT_EQ(decoder.getJpeg(), expected) << f.width << "x" << f.height << (f.noisy ? " noisy" : " flat");
    }
}

TEST(ImageDecoderTest, GivesNothingForFramesItCannotTurnIntoJpeg) {
    const struct {
        QByteArray data;
        unsigned int width, height;
        const char* format;
    } rows[] = {
        {rgb24Frame(2, 2) + '\0', 2, 2, "rgb24"},
        {rgb24Frame(2, 2).left(11), 2, 2, "rgb24"},
        {QByteArray(8, '\x80'), 2, 2, "yuyv"},
        {QByteArray(), 0, 0, "rgb24"},
        {QByteArray(), 320, 240, "mjpg"},
        {rgb24Frame(2, 2), 2, 2, ""},
        // 2 x (2^31 + 2) x 3 is 12 modulo 2^32: a 32-bit size check would read far past the data.
        {rgb24Frame(2, 2), 2, 2147483650u, "rgb24"},
        // 4 x 3 x (2^30 + 1) is 12 modulo 2^32, each side within an int.
        {rgb24Frame(2, 2), 4, 1073741825u, "rgb24"},
        // 65536 x 65536 x 3 is 0 modulo 2^32, the size of an empty frame.
        {QByteArray(), 65536, 65536, "rgb24"},
        // Wider than a JPEG file can be: the encoder's error.
        {rgb24Frame(65501, 1, false), 65501, 1, "rgb24"},
    };
    ImageDecoder decoder;
    for (const auto& row : rows) {
        decoder.setImage(row.data, row.width, row.height, 0, QString::fromLatin1(row.format));
        EXPECT_TRUE(decoder.getJpeg().isEmpty()) << row.data.size() << " bytes " << row.width << "x" << row.height;
    }
}

TEST(ImageThreadTest, RequestThreadSeesWholeFramesWhileFramesArrive) {
    DaemonEnvironment::instance();
    const QByteArray jpeg = sourceFile("tests/data/image/frame_64x48.jpg");
    ASSERT_FALSE(jpeg.isEmpty());
    // A big rgb24 frame takes a while to encode, so frames do arrive during an encoding.
    const struct {
        QByteArray data;
        unsigned int width, height;
        QString format;
    } frames[] = {{jpeg, 64, 48, "mjpg"},
                  {rgb24Frame(2, 2), 2, 2, "rgb24"},
                  {jpeg + QByteArray(1000, 'x'), 64, 48, "mjpg"},
                  {QByteArray(320 * 240 * 3, '\x55'), 320, 240, "rgb24"}};
    // Every response the request thread may see: one per frame. A frame mixed from two (an rgb24
    // size with other bytes) would give the no-camera picture, which is not among them.
    QSet<QByteArray> expected;
    for (const auto& frame : frames) {
        ImageDecoder decoder;
        decoder.setImage(frame.data, frame.width, frame.height, 0, frame.format);
        expected.insert(decoder.getJpeg());
    }
    ASSERT_EQ(expected.size(), 4);

    ImageHandler handler;
    handler.on_client_image0_changed(jpeg, 64, 48, 0, "mjpg");
    std::atomic<bool> done{false};
    std::atomic<int> requests{0}, torn{0};
    std::thread requestThread([&] {
        while (!done.load()) {
            const CommandCall call = callCommand("{}", [&](Request& r) { return getImage(r, handler, "png"); });
            torn += !call.raw.startsWith(kJpegHeader) || !expected.contains(call.raw.mid(call.raw.indexOf("\r\n\r\n") + 4));
            ++requests;
        }
    });
    QElapsedTimer deadline;  // frames keep arriving until a good number of requests were answered
    deadline.start();
    for (int i = 0; requests.load() < 300 && deadline.elapsed() < 30000; ++i) {
        const auto& frame = frames[i % 4];
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
