// Camera streams for real: through nginx and lighttpd with the packaged settings, and through
// Apache, each part passed on as it comes, in order, the resolution switch taking effect on the
// stream; without a camera, a stream outlives the web server's read timeout.
// ctest: timeout=240
#include <gtest/gtest.h>

#include "E2e.h"
#include "Wait.h"

using namespace testsupport;

namespace {

const QByteArray kStream = R"({"TYPE":"getimage","stream":true})";

// Width and height from a JPEG file's frame header (0 x 0 when it has none).
QPair<int, int> jpegSize(const QByteArray& jpeg) {
    for (qsizetype at = 2; at + 9 < jpeg.size() && uchar(jpeg[at]) == 0xff;) {
        const uchar marker = uchar(jpeg[at + 1]);
        if (marker >= 0xc0 && marker <= 0xc3) {
            return {(uchar(jpeg[at + 7]) << 8) | uchar(jpeg[at + 8]), (uchar(jpeg[at + 5]) << 8) | uchar(jpeg[at + 6])};
        }
        at += 2 + ((uchar(jpeg[at + 2]) << 8) | uchar(jpeg[at + 3]));
    }
    return {0, 0};
}

TEST(CameraStreamE2eTest, StreamsThroughEachWebServerAsTheFramesComeAndFollowsTheResolution) {
    enum Server { Nginx, Lighttpd, Apache };
    for (const Server server : {Nginx, Lighttpd, Apache}) {
        SCOPED_TRACE(server == Nginx ? "nginx" : server == Lighttpd ? "lighttpd" : "Apache");
        Sandbox sandbox;
        SimulatedRobot robot(sandbox.path("/run/robot.record"));
        ASSERT_TRUE(robot.start());
        sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=" + robot.address().toUtf8() + "\n");
        DaemonUnderTest daemon(sandbox);
        daemon.setLighttpd(server == Lighttpd);
        daemon.setApache(server == Apache);
        ASSERT_TRUE(daemon.start());
        HttpStream viewer(daemon.port(), "/webgated?" + pageEncode(kStream));
        // Live frames, one part each, while the reply goes on.
        ASSERT_TRUE(viewer.waitFor([](const QByteArray& body) {
            int live = 0;
            for (const StreamPart& part : streamParts(body)) live += part.type == "image/jpeg";
            return live >= 5;
        })) << viewer.headers().constData() << daemon.webServerErrors().constData();
        EXPECT_TRUE(viewer.headers().contains("Content-Type: multipart/x-mixed-replace; boundary=webgatedframe\r\n") &&
                    viewer.headers().contains("X-Content-Type-Options: nosniff\r\n"))
            << viewer.headers().constData();
        const QList<StreamPart> parts = streamParts(viewer.body());
        for (int i = 1; i < parts.size(); ++i) EXPECT_GT(parts[i].sequence, parts[i - 1].sequence);
        EXPECT_EQ(jpegSize(parts.last().body), qMakePair(320, 240));
        if (server != Nginx) continue;
        EXPECT_FALSE(viewer.headers().contains("X-Accel-Buffering"));  // nginx's own word
        ASSERT_TRUE(daemon.command(R"({"TYPE":"changeRes","res":"high"})").body.contains("ACK"));
        EXPECT_TRUE(viewer.waitFor([](const QByteArray& body) {
            return jpegSize(streamParts(body).last().body) == qMakePair(640, 480);
        }));
    }
}

// Without a camera the no-camera picture comes every 5 s: nginx's 30 s read timeout never ends
// the stream.
TEST(CameraStreamE2eTest, WithoutACameraAStreamOutlivesTheWebServersReadTimeout) {
    Sandbox sandbox;
    sandbox.writeFile("/etc/corvanta/webgated.conf", "[Network]\nserver=127.0.0.1:1\n");
    DaemonUnderTest daemon(sandbox);
    ASSERT_TRUE(daemon.start(sourceDir()));  // where ./resources/nocam.png is
    HttpStream viewer(daemon.port(), "/webgated?" + pageEncode(kStream));
    ASSERT_TRUE(viewer.waitFor(hasParts(8), 60000)) << daemon.webServerErrors().constData();
    for (const StreamPart& part : streamParts(viewer.body())) {
        EXPECT_EQ(part.type, "image/png");
        EXPECT_EQ(part.sequence, 0);
        EXPECT_EQ(part.body, readFile(sourceDir() + "/resources/nocam.png"));
    }
    EXPECT_TRUE(viewer.waitFor(hasParts(9), 10000));
    EXPECT_FALSE(daemon.webServerErrors().contains("timed out")) << daemon.webServerErrors().constData();
}

}  // namespace
