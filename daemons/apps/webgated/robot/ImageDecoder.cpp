#include "robot/ImageDecoder.h"

#include <QMutexLocker>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <jpeglib.h>
#include <jerror.h>

namespace {

// Quality, density and markers of the JPEG files the web page has always received: libjpeg's
// defaults at quality 75, a JFIF header giving 100 dots per inch (a screenless Qt program's
// picture density, which these files used to carry) and nothing else.
constexpr int kJpegQuality = 75;
constexpr UINT16 kDotsPerInch = 100;
// What the output buffer starts with; it doubles while the encoder needs more.
constexpr size_t kInitialOutputBytes = 16 * 1024;

/// Everything one encoding needs, plain data that lives in the caller's frame, so that an
/// error's jump back into encodeRgb24Jpeg() finds it intact and the caller can free the output.
struct JpegJob {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr errors;
    jmp_buf escape;
    jpeg_destination_mgr destination;
    unsigned char* output;  // malloc'd; the caller frees it, whatever the outcome
    size_t capacity;
    size_t size;
};

JpegJob* jobOf(j_compress_ptr cinfo) { return reinterpret_cast<JpegJob*>(cinfo); }

extern "C" void jpegErrorExit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegJob*>(cinfo)->escape, 1);
}

// Warnings stay quiet: a frame either encodes or gives nothing.
extern "C" void jpegOutputMessage(j_common_ptr) {}

extern "C" void jpegInitDestination(j_compress_ptr cinfo) {
    JpegJob* job = jobOf(cinfo);
    job->output = static_cast<unsigned char*>(malloc(kInitialOutputBytes));
    if (!job->output) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    job->capacity = kInitialOutputBytes;
    job->destination.next_output_byte = job->output;
    job->destination.free_in_buffer = job->capacity;
}

// Called with the whole buffer full.
extern "C" boolean jpegEmptyOutputBuffer(j_compress_ptr cinfo) {
    JpegJob* job = jobOf(cinfo);
    // The reply is a QByteArray: never more than an int can count.
    if (job->capacity > size_t(std::numeric_limits<int>::max()) / 2) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    unsigned char* grown = static_cast<unsigned char*>(realloc(job->output, job->capacity * 2));
    if (!grown) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 2);
    job->output = grown;
    job->destination.next_output_byte = grown + job->capacity;
    job->destination.free_in_buffer = job->capacity;
    job->capacity *= 2;
    return TRUE;
}

extern "C" void jpegTermDestination(j_compress_ptr cinfo) {
    JpegJob* job = jobOf(cinfo);
    job->size = job->capacity - job->destination.free_in_buffer;
}

/// Encodes packed RGB lines into job->output. Only plain data lives in this frame, so a libjpeg
/// error may jump back here from anywhere inside the library.
bool encodeRgb24Jpeg(JpegJob* job, const unsigned char* pixels, JDIMENSION width, JDIMENSION height) {
    job->cinfo.err = jpeg_std_error(&job->errors);
    job->errors.error_exit = jpegErrorExit;
    job->errors.output_message = jpegOutputMessage;
    if (setjmp(job->escape)) {
        jpeg_destroy_compress(&job->cinfo);
        return false;
    }
    jpeg_create_compress(&job->cinfo);
    job->destination.init_destination = jpegInitDestination;
    job->destination.empty_output_buffer = jpegEmptyOutputBuffer;
    job->destination.term_destination = jpegTermDestination;
    job->cinfo.dest = &job->destination;

    job->cinfo.image_width = width;
    job->cinfo.image_height = height;
    job->cinfo.input_components = 3;
    job->cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&job->cinfo);
    job->cinfo.density_unit = 1;
    job->cinfo.X_density = kDotsPerInch;
    job->cinfo.Y_density = kDotsPerInch;
    jpeg_set_quality(&job->cinfo, kJpegQuality, TRUE);
    jpeg_start_compress(&job->cinfo, TRUE);
    const size_t lineBytes = size_t(width) * 3;
    while (job->cinfo.next_scanline < height) {
        // libjpeg only reads the lines it is given.
        JSAMPROW line = const_cast<JSAMPROW>(pixels + job->cinfo.next_scanline * lineBytes);
        jpeg_write_scanlines(&job->cinfo, &line, 1);
    }
    jpeg_finish_compress(&job->cinfo);
    jpeg_destroy_compress(&job->cinfo);
    return true;
}

}  // namespace

ImageDecoder::ImageDecoder(QObject* parent) : QObject(parent) {}

void ImageDecoder::setImage(const QByteArray& data, unsigned int width, unsigned int height,
                            unsigned int step, const QString& format) {
    QMutexLocker locker(&m_frameMutex);
    m_data = data;
    m_width = width;
    m_height = height;
    m_step = step;
    m_format = format;
}

QByteArray ImageDecoder::getJpeg() const {
    QMutexLocker locker(&m_frameMutex);
    if (m_format.contains(QLatin1String("jpg"))) return m_data;
    if (m_format.contains(QLatin1String("rgb24"))) return encodeRgb24();
    return QByteArray();
}

QByteArray ImageDecoder::encodeRgb24() const {
    // Bounded and sized in 64 bits: a wrapped 32-bit product would let a short frame through.
    const quint64 lineBytes = quint64(m_width) * 3;
    if (lineBytes > quint64(std::numeric_limits<int>::max()) ||
        m_height > unsigned(std::numeric_limits<int>::max())) {
        return QByteArray();
    }
    if (m_data.isEmpty() || lineBytes * m_height != quint64(m_data.size())) return QByteArray();

    // Lines are packed (width x 3 bytes each); the frame's step is not used.
    JpegJob job = {};
    const bool encoded =
        encodeRgb24Jpeg(&job, reinterpret_cast<const unsigned char*>(m_data.constData()), m_width, m_height);
    QByteArray jpeg;
    if (encoded) jpeg = QByteArray(reinterpret_cast<const char*>(job.output), int(job.size));
    free(job.output);
    return jpeg;
}
