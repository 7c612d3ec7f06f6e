// JPEG decoding with libjpeg, set up as the image library sets it up (same
// library, default DCT and upsampling, colour out in BGR order, CMYK and YCCK
// through the same CMYK-to-BGR formula), so that the pixels are identical.
// Unlike the image library, data that ends early or is corrupt is refused
// rather than filled in, and libjpeg never prints.
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

#include "io/image_decoders.h"

namespace orvo::detail {

namespace {

// libjpeg's error manager with a way out of a failing call.
struct jpeg_errors {
    jpeg_error_mgr base;  // first, so that libjpeg's pointer is ours
    std::jmp_buf exit;
    image_failure failure;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void leave(j_common_ptr info, image_failure failure)
{
    jpeg_errors* errors = reinterpret_cast<jpeg_errors*>(info->err);
    errors->failure = failure;
    (*info->err->format_message)(info, errors->message);
    std::longjmp(errors->exit, 1);
}

extern "C" void on_jpeg_error(j_common_ptr info)
{
    jpeg_errors* errors = reinterpret_cast<jpeg_errors*>(info->err);
    leave(info, info->err->msg_code == JERR_OUT_OF_MEMORY ? image_failure::out_of_memory : errors->failure);
}

// Warnings that the data ends early or is damaged end the decoding; the
// others (an unknown JFIF version, a bad ICC profile) leave the pixels
// intact and are ignored. Trace messages are never shown.
extern "C" void on_jpeg_message(j_common_ptr info, int level)
{
    if (level >= 0) return;
    switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_EXTRANEOUS_DATA:
        leave(info, image_failure::truncated);
    default:
        break;
    }
}

// The decompressor with its error manager; the steps below return false
// after an error, described in errors.
struct jpeg_job {
    jpeg_decompress_struct info;
    jpeg_errors errors;
};

bool read_header(jpeg_job& job, const unsigned char* data, std::size_t size)
{
    if (setjmp(job.errors.exit) != 0) return false;
    jpeg_create_decompress(&job.info);
    jpeg_mem_src(&job.info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&job.info, TRUE);
    job.info.out_color_space = job.info.num_components == 1 ? JCS_GRAYSCALE
                               : job.info.num_components == 4 ? JCS_CMYK
                                                               : JCS_EXT_BGR;
    job.errors.failure = image_failure::truncated;  // from here on, errors are in the image data
    return true;
}

// The image library's conversion of inverted CMYK (as Adobe writes it, and as
// libjpeg turns YCCK into) to BGR.
void cmyk_to_bgr(const unsigned char* cmyk, unsigned char* bgr, JDIMENSION width)
{
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const int k = cmyk[3];
        bgr[2] = static_cast<unsigned char>(k - ((255 - cmyk[0]) * k >> 8));
        bgr[1] = static_cast<unsigned char>(k - ((255 - cmyk[1]) * k >> 8));
        bgr[0] = static_cast<unsigned char>(k - ((255 - cmyk[2]) * k >> 8));
    }
}

bool read_pixels(jpeg_job& job, unsigned char* pixels, std::size_t step)
{
    if (setjmp(job.errors.exit) != 0) return false;
    jpeg_start_decompress(&job.info);
    const bool cmyk = job.info.out_color_space == JCS_CMYK;
    JSAMPARRAY cmyk_row =
        cmyk ? (*job.info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&job.info), JPOOL_IMAGE, job.info.output_width * 4, 1)
             : nullptr;
    while (job.info.output_scanline < job.info.output_height) {
        unsigned char* row = pixels + step * job.info.output_scanline;
        if (cmyk) {
            jpeg_read_scanlines(&job.info, cmyk_row, 1);
            cmyk_to_bgr(cmyk_row[0], row, job.info.output_width);
        } else {
            jpeg_read_scanlines(&job.info, &row, 1);
        }
    }
    jpeg_finish_decompress(&job.info);
    return true;
}

// Destroys the decompressor however decode_jpeg ends.
struct jpeg_job_owner {
    jpeg_job& job;
    ~jpeg_job_owner() { jpeg_destroy_decompress(&job.info); }
};

image_read failed_job(const jpeg_job& job)
{
    switch (job.errors.failure) {
    case image_failure::out_of_memory: return failed_read(image_failure::out_of_memory, "out of memory");
    case image_failure::truncated: return failed_read(image_failure::truncated, truncated_reason(job.errors.message));
    default: return failed_read(image_failure::unreadable, std::string("not a readable image (") + job.errors.message + ")");
    }
}

}  // namespace

image_read decode_jpeg(const unsigned char* data, std::size_t size, std::size_t max_pixels)
{
    jpeg_job job{};
    job.info.err = jpeg_std_error(&job.errors.base);
    job.errors.base.error_exit = on_jpeg_error;
    job.errors.base.emit_message = on_jpeg_message;
    job.errors.failure = image_failure::unreadable;
    const jpeg_job_owner owner{job};
    if (!read_header(job, data, size)) return failed_job(job);
    if (std::uint64_t(job.info.image_width) * job.info.image_height > max_pixels)
        return failed_read(image_failure::too_large, "larger than the pixel limit");

    const int channels = job.info.out_color_space == JCS_GRAYSCALE ? 1 : 3;
    image_read result;
    result.image.create(static_cast<int>(job.info.image_height), static_cast<int>(job.info.image_width), CV_8UC(channels));
    if (!read_pixels(job, result.image.data, result.image.step)) return failed_job(job);
    return result;
}

}  // namespace orvo::detail
