// getimage and changeRes: the raw image reply byte for byte, the no-camera fallback rules, and
// the texts and results of changeRes, through the handlers and through the request function.
#include <gtest/gtest.h>

#include <QDir>
#include <QThread>
#include <memory>

#include "DaemonEnvironment.h"
#include "Fcgi.h"
#include "ImageTestSupport.h"
#include "frame/Client.h"
#include "robot/ImageCommands.h"
#include "robot/ImageDecoder.h"

using imagetest::AgeableImageHandler;
using imagetest::rgb24Frame2x2;
using imagetest::testData;
using testsupport::DaemonEnvironment;

namespace {

const QByteArray kPngHeader = "Content-Type: image/png \r\n\r\n";
const QByteArray kJpegHeader = "Content-Type: image/jpeg \r\n\r\n";

class GetImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        DaemonEnvironment::instance();
        m_png = imagetest::sourceFile(QStringLiteral("resources/nocam.png"));
        m_jpeg = testData(QStringLiteral("frame_64x48.jpg"));
        ASSERT_FALSE(m_png.isEmpty());
        ASSERT_FALSE(m_jpeg.isEmpty());
        m_handler = std::make_unique<AgeableImageHandler>();
    }
    void TearDown() override {
        m_handler.reset();
        DaemonEnvironment::instance().client().set_kel_corvanta_rpc_image0_enabled(false);
    }

    // The whole response of getimage; a raw reply adds nothing to the JSON reply.
    QByteArray getimage(bool noCamLoaded = true) {
        const JsonPtr query(json_pack("{s:s}", "TYPE", "getimage"));
        const JsonPtr reply(json_object());
        Request request(query.get(), reply.get());
        getImage(request, *m_handler, m_png, noCamLoaded);
        EXPECT_TRUE(request.isRaw());
        EXPECT_EQ(json_object_size(reply.get()), 0u);
        return request.rawResponse();
    }
    void frame(const QByteArray& data, unsigned int width, unsigned int height,
               const char* format) {
        m_handler->on_client_image0_changed(data, width, height, 0, QString::fromLatin1(format));
    }

    QByteArray m_png;
    QByteArray m_jpeg;
    std::unique_ptr<AgeableImageHandler> m_handler;
};

TEST_F(GetImageTest, AnswersTheNoCameraPictureBeforeAnyFrame) {
    EXPECT_EQ(getimage(), kPngHeader + m_png);
}

TEST_F(GetImageTest, AnswersTheLatestFrameAsJpeg) {
    frame(m_jpeg, 64, 48, "mjpg");
    EXPECT_EQ(getimage(), kJpegHeader + m_jpeg);
    EXPECT_EQ(getimage(), kJpegHeader + m_jpeg) << "asking again changes nothing";

    frame(rgb24Frame2x2(), 2, 2, "rgb24");
    const QByteArray response = getimage();
    ASSERT_TRUE(response.startsWith(kJpegHeader));
    EXPECT_EQ(QImage::fromData(response.mid(kJpegHeader.size()), "JPG").size(), QSize(2, 2));

    QByteArray other = m_jpeg;
    other.append("trailing bytes are part of the frame");
    frame(other, 64, 48, "mjpg");
    EXPECT_EQ(getimage(), kJpegHeader + other);
}

TEST_F(GetImageTest, AnswersTheNoCameraPictureForFramesItCannotShow) {
    QByteArray thirteen = rgb24Frame2x2();
    thirteen.append('\x7f');
    frame(thirteen, 2, 2, "rgb24");
    EXPECT_EQ(getimage(), kPngHeader + m_png) << "rgb24 of the wrong size";
    frame(QByteArray(8, '\x80'), 2, 2, "yuyv");
    EXPECT_EQ(getimage(), kPngHeader + m_png) << "yuyv";
    frame(QByteArray(), 320, 240, "mjpg");
    EXPECT_EQ(getimage(), kPngHeader + m_png) << "empty frame";
    frame(m_jpeg, 64, 48, "mjpg");
    EXPECT_EQ(getimage(), kJpegHeader + m_jpeg) << "a good frame again";
}

TEST_F(GetImageTest, AnswersTheNoCameraPictureWhenTheFrameIsOlderThanASecond) {
    frame(m_jpeg, 64, 48, "mjpg");
    m_handler->ageLastFrame(600);
    EXPECT_GE(m_handler->timeSinceLastImg(), 600);
    EXPECT_EQ(getimage(), kJpegHeader + m_jpeg) << "0.6 s old";
    m_handler->ageLastFrame(500);
    EXPECT_GT(m_handler->timeSinceLastImg(), 1000);
    EXPECT_EQ(getimage(), kPngHeader + m_png) << "1.1 s old";

    frame(m_jpeg, 64, 48, "mjpg");
    EXPECT_LT(m_handler->timeSinceLastImg(), 1000);
    EXPECT_EQ(getimage(), kJpegHeader + m_jpeg) << "a new frame is fresh again";
}

TEST_F(GetImageTest, SendsWhatItHasWhenTheNoCameraPictureIsMissing) {
    EXPECT_EQ(getimage(false), kJpegHeader) << "no frame: the header alone";
    frame(QByteArray(8, '\x80'), 2, 2, "yuyv");
    EXPECT_EQ(getimage(false), kJpegHeader) << "yuyv: the header alone";
    frame(m_jpeg, 64, 48, "mjpg");
    m_handler->ageLastFrame(5000);
    EXPECT_EQ(getimage(false), kJpegHeader + m_jpeg) << "an old frame is still sent";
}

// The request function with the daemon's own command table and Fcgi.
class ImageRequestTest : public ::testing::Test {
protected:
    static DaemonEnvironment& env() { return DaemonEnvironment::instance(); }
    static Fcgi& fcgi() {
        // The no-camera picture is looked up relative to the working directory.
        static const bool inSourceDir = QDir::setCurrent(testsupport::sourceDir());
        EXPECT_TRUE(inSourceDir);
        return env().fcgi();
    }
    static QByteArray reply(const QByteArray& query) {
        fcgi();
        const QByteArray response = env().request(query);
        const QByteArray header = "Content-type: text/html\r\n\r\n";
        EXPECT_TRUE(response.startsWith(header)) << response.constData();
        return response.mid(header.size());
    }
};

TEST_F(ImageRequestTest, GetimageWritesOnlyTheImageResponse) {
    ASSERT_TRUE(fcgi().isNoCamLoaded());
    const QImage picture = QImage::fromData(fcgi().noCamPng(), "PNG");
    EXPECT_EQ(picture.size(), QSize(320, 240));

    env().clearLog();
    EXPECT_EQ(env().request("{\"TYPE\":\"getimage\"}"), kPngHeader + fcgi().noCamPng());
    EXPECT_EQ(env().request("%7B%22TYPE%22:%22getimage%22%7D"), kPngHeader + fcgi().noCamPng());
    const QString log = env().logText();
    EXPECT_FALSE(log.contains(QStringLiteral("Done:"))) << log.toStdString();
    const QString threadLine =
        QStringLiteral("ImageHandler::getImageData() Thread ID = %1")
            .arg(quint64(reinterpret_cast<quintptr>(QThread::currentThreadId())));
    EXPECT_EQ(log.count(threadLine), 2) << log.toStdString();
}

TEST_F(ImageRequestTest, ChangeResAcceptsExactlyLowAndHigh) {
    env().clearLog();
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"low\"}"), "{\"TYPE\":\"ACK\"}");
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"high\"}"), "{\"TYPE\":\"ACK\"}");
    const QString log = env().logText();
    EXPECT_TRUE(log.contains(QStringLiteral("| change to low resolution"))) << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("| change to high resolution"))) << log.toStdString();

    const QByteArray invalid = "{\"TYPE\":\"ERR\",\"MSG\":\"INVALID PARAMETER(S)\"}";
    const QByteArray missing = "{\"TYPE\":\"ERR\",\"MSG\":\"MISSING PARAMETER(S)\"}";
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"HIGH\"}"), invalid);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"Low\"}"), invalid);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"low \"}"), invalid);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"medium\"}"), invalid);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\"}"), missing);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":\"\"}"), missing);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":640}"), missing);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"res\":null}"), missing);
    EXPECT_EQ(reply("{\"TYPE\":\"changeRes\",\"RES\":\"low\"}"), missing);
    EXPECT_TRUE(env().logText().contains(
        QStringLiteral("INVALID PARAMETER(S): {\"TYPE\":\"changeRes\",\"res\":\"HIGH\"}")));
}

}  // namespace

namespace {

TEST(ImageHandlerTest, ReadsTheRequestTimeoutAndKeepsTheDefaultForNonNumbers) {
    DaemonEnvironment& env = DaemonEnvironment::instance();
    const auto timeoutWith = [&env](const QByteArray& config) {
        env.setConfig(config);
        return ImageHandler().requestTimeoutMs();
    };
    EXPECT_EQ(timeoutWith("image_request_timeout=750\n"), 750);
    EXPECT_EQ(timeoutWith(""), 2000);
    EXPECT_EQ(timeoutWith("image_request_timeout=soon\n"), 2000);
    EXPECT_EQ(timeoutWith("image_request_timeout=-5\n"), 2000);
    EXPECT_EQ(timeoutWith("[Camera]\nimage_request_timeout=300\n"), 2000) << "not in a group";
    env.setConfig("");
}

}  // namespace
