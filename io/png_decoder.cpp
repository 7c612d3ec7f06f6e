// PNG decoding with libpng, with the transformations the image library asks
// for (16-bit samples to their high byte, alpha stripped without
// compositing, palettes and 1-, 2- and 4-bit grey expanded, colour in BGR
// order), so that the pixels are identical; grey images keep one channel.
// Data that ends before the image and its IEND chunk do is refused, and
// libpng never prints.
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <png.h>
#include <vector>

#include "io/image_decoders.h"
#include "io/png_report.h"

namespace orvo::detail {

namespace {

// The decoder, its input, and what went wrong; the steps below return
// false after an error.
struct png_job : png_report {
    png_structp png = nullptr;
    png_infop info = nullptr;
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    bool ran_out = false;  // the data ended early
};

extern "C" void on_png_read(png_structp png, png_bytep out, std::size_t count)
{
    png_job* job = static_cast<png_job*>(png_get_io_ptr(png));
    if (count > job->size - job->pos) {
        job->ran_out = true;
        png_error(png, "the data ends early");
    }
    std::memcpy(out, job->data + job->pos, count);
    job->pos += count;
}


// Reads the header and sets the transformations; the row size then is the
// width times `channels`.
bool read_header(png_job& job, int& channels)
{
    if (setjmp(png_jmpbuf(job.png)) != 0) return false;
    png_set_read_fn(job.png, &job, on_png_read);
    png_read_info(job.png, job.info);
    const int bit_depth = png_get_bit_depth(job.png, job.info);
    const int colour_type = png_get_color_type(job.png, job.info);
    if (bit_depth == 16) png_set_strip_16(job.png);
    png_set_strip_alpha(job.png);
    if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(job.png);
    const bool colour = (colour_type & PNG_COLOR_MASK_COLOR) != 0;
    if (!colour && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(job.png);
    if (colour) png_set_bgr(job.png);
    png_set_interlace_handling(job.png);
    png_read_update_info(job.png, job.info);
    channels = colour ? 3 : 1;
    if (png_get_rowbytes(job.png, job.info) == std::size_t(png_get_image_width(job.png, job.info)) * channels) return true;
    std::strcpy(job.message, "an unexpected row layout");
    return false;
}

bool read_pixels(png_job& job, unsigned char** rows)
{
    if (setjmp(png_jmpbuf(job.png)) != 0) return false;
    png_read_image(job.png, rows);
    png_read_end(job.png, nullptr);
    return true;
}

// Destroys the decoder however decode_png ends.
struct png_job_owner {
    png_job& job;
    ~png_job_owner() { png_destroy_read_struct(&job.png, job.info ? &job.info : nullptr, nullptr); }
};

image_read failed_job(const png_job& job, bool in_pixels)
{
    if (job.out_of_memory) return failed_read(image_failure::out_of_memory, "out of memory");
    if (job.ran_out || in_pixels) return failed_read(image_failure::truncated, truncated_reason(job.message));
    return failed_read(image_failure::unreadable, std::string("not a readable image (") + job.message + ")");
}

}  // namespace

image_read decode_png(const unsigned char* data, std::size_t size, std::size_t max_pixels)
{
    png_job job;
    job.data = data;
    job.size = size;
    png_report* report = &job;
    job.png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, report, on_png_error, on_png_warning, report,
                                       on_png_malloc, on_png_free);
    if (job.png == nullptr) return failed_read(image_failure::out_of_memory, "out of memory");
    const png_job_owner owner{job};
    job.info = png_create_info_struct(job.png);
    if (job.info == nullptr) return failed_read(image_failure::out_of_memory, "out of memory");

    int channels = 0;
    if (!read_header(job, channels)) return failed_job(job, false);
    const png_uint_32 width = png_get_image_width(job.png, job.info), height = png_get_image_height(job.png, job.info);
    if (std::uint64_t(width) * height > max_pixels) return failed_read(image_failure::too_large, "larger than the pixel limit");

    image_read result;
    result.image.create(static_cast<int>(height), static_cast<int>(width), CV_8UC(channels));
    std::vector<unsigned char*> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = result.image.ptr<unsigned char>(static_cast<int>(y));
    if (!read_pixels(job, rows.data())) return failed_job(job, true);
    return result;
}

}  // namespace orvo::detail
