// JPEG encoding with libjpeg into a memory buffer that libjpeg allocates;
// its errors caught as values, nothing printed.
#include "io/jpeg_encoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jerror.h>
#include <jpeglib.h>
#include <new>

namespace orvo::detail {

namespace {

// libjpeg's error manager with a way out of a failing call.
struct jpeg_errors {
    jpeg_error_mgr base;  // first, so that libjpeg's pointer is ours
    std::jmp_buf exit;
    bool out_of_memory = false;
    char message[JMSG_LENGTH_MAX] = {};
};

extern "C" void on_jpeg_encoder_error(j_common_ptr info)
{
    jpeg_errors* errors = reinterpret_cast<jpeg_errors*>(info->err);
    errors->out_of_memory = info->err->msg_code == JERR_OUT_OF_MEMORY;
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->exit, 1);
}

extern "C" void on_jpeg_encoder_message(j_common_ptr, int) {}

// The compressor, its error manager and the buffer libjpeg writes into,
// released however the encoding ends.
struct jpeg_encoding {
    jpeg_compress_struct info{};
    jpeg_errors errors;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    ~jpeg_encoding()
    {
        jpeg_destroy_compress(&info);
        std::free(buffer);
    }
};

// Compresses every row; false after a libjpeg error.
bool compress(jpeg_encoding& job, const cv::Mat& image, int quality)
{
    if (setjmp(job.errors.exit) != 0) return false;
    jpeg_create_compress(&job.info);
    jpeg_mem_dest(&job.info, &job.buffer, &job.size);
    job.info.image_width = static_cast<JDIMENSION>(image.cols);
    job.info.image_height = static_cast<JDIMENSION>(image.rows);
    job.info.input_components = image.channels();
    job.info.in_color_space = image.channels() == 1 ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&job.info);
    jpeg_set_quality(&job.info, quality, TRUE);
    jpeg_start_compress(&job.info, TRUE);
    while (job.info.next_scanline < job.info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.ptr(static_cast<int>(job.info.next_scanline)));
        jpeg_write_scanlines(&job.info, &row, 1);
    }
    jpeg_finish_compress(&job.info);
    return true;
}

}  // namespace

std::string encode_jpeg(const cv::Mat& image, int quality, std::vector<unsigned char>& jpeg)
{
    if (image.empty() || (image.type() != CV_8UC1 && image.type() != CV_8UC3))
        return "not a non-empty 8-bit grey or three-channel image";
    if (quality < 1 || quality > 100) return "a JPEG quality must be from 1 to 100";
    jpeg_encoding job;
    job.info.err = jpeg_std_error(&job.errors.base);
    job.errors.base.error_exit = on_jpeg_encoder_error;
    job.errors.base.emit_message = on_jpeg_encoder_message;
    if (!compress(job, image, quality)) {
        if (job.errors.out_of_memory) throw std::bad_alloc();
        return job.errors.message;
    }
    jpeg.assign(job.buffer, job.buffer + job.size);
    return "";
}

}  // namespace orvo::detail
