// Encoding a 640 x 480 rgb24 camera frame: ImageDecoder (libjpeg into memory, the bytes Qt's JPEG
// writer gave at its default quality) against libjpeg-turbo called directly at the same quality.
// With --write-frame FILE [QUALITY] it writes the picture as the ~40 KB JPEG frame image_bench.sh serves.
#include <benchmark/benchmark.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FrameRenderer.h"
#include "robot/ImageDecoder.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// Qt's writer turns quality -1 into 75.
constexpr int kQuality = 75;

// The simulated camera's picture with sensor-like noise, packed as rgb24 (no line padding).
QByteArray testFrame() {
    const QImage picture = FrameRenderer::picture(1234, 0.4, -0.3, 0.7, kWidth, kHeight)
                               .convertToFormat(QImage::Format_RGB888);
    QByteArray frame(kWidth * kHeight * 3, Qt::Uninitialized);
    std::uint32_t seed = 12345;
    for (int y = 0; y < kHeight; ++y) {
        const uchar* line = picture.constScanLine(y);
        for (int x = 0; x < kWidth * 3; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 27) - 16;  // -16 .. 15
            frame[y * kWidth * 3 + x] = char(qBound(0, line[x] + noise, 255));
        }
    }
    return frame;
}

const QByteArray& frame() {
    static const QByteArray bytes = testFrame();
    return bytes;
}

QByteArray libjpegEncode(const QByteArray& rgb, int quality) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    const auto* data = reinterpret_cast<const JSAMPLE*>(rgb.constData());
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(data + cinfo.next_scanline * kWidth * 3);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray result(reinterpret_cast<const char*>(out), int(outSize));
    std::free(out);
    return result;
}

void BM_ImageDecoderRgb24(benchmark::State& state) {
    ImageDecoder decoder;
    decoder.setImage(frame(), kWidth, kHeight, kWidth * 3, QStringLiteral("rgb24"));
    qsizetype bytes = 0;
    for (auto _ : state) {
        const QByteArray jpeg = decoder.getJpeg();
        bytes = jpeg.size();
        benchmark::DoNotOptimize(jpeg.constData());
    }
    state.counters["jpeg_bytes"] = double(bytes);
}

void BM_LibjpegTurboRgb24(benchmark::State& state) {
    qsizetype bytes = 0;
    for (auto _ : state) {
        const QByteArray jpeg = libjpegEncode(frame(), kQuality);
        bytes = jpeg.size();
        benchmark::DoNotOptimize(jpeg.constData());
    }
    state.counters["jpeg_bytes"] = double(bytes);
}

BENCHMARK(BM_ImageDecoderRgb24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegTurboRgb24)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--write-frame") == 0) {
        // A camera-sized "mjpg" frame: the same picture at the quality that makes it ~40 KB, or
        // at the quality given after the file name.
        QFile file(QString::fromLocal8Bit(argv[2]));
        const int quality = argc == 4 ? std::atoi(argv[3]) : 73;
        const QByteArray jpeg = libjpegEncode(frame(), quality);
        if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size()) return 1;
        std::printf("%lld\n", static_cast<long long>(jpeg.size()));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
