// PNG encoding with libpng into a byte vector: the image library's default
// writer settings, its errors caught as values, nothing printed.
#include "io/png_encoder.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <new>
#include <png.h>
#include <zlib.h>

#include "io/png_report.h"

namespace orvo::detail {

namespace {

// The encoder, its output, and what went wrong.
struct png_writing : png_report {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<unsigned char>* out = nullptr;
};

extern "C" void on_png_write(png_structp png, png_bytep data, std::size_t count)
{
    png_writing* writing = static_cast<png_writing*>(png_get_io_ptr(png));
    try {
        writing->out->insert(writing->out->end(), data, data + count);
        return;
    } catch (const std::bad_alloc&) {
        writing->out_of_memory = true;
    }
    png_error(png, "out of memory");
}

extern "C" void on_png_flush(png_structp) {}


// Writes the header, the rows and the end; false after a libpng error.
bool write_image(png_writing& writing, int width, int height, unsigned char** rows)
{
    if (setjmp(png_jmpbuf(writing.png)) != 0) return false;
    png_set_write_fn(writing.png, &writing, on_png_write, on_png_flush);
    png_set_filter(writing.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(writing.png, Z_BEST_SPEED);
    png_set_compression_strategy(writing.png, Z_RLE);
    png_set_IHDR(writing.png, writing.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(writing.png, writing.info);
    png_set_bgr(writing.png);
    png_write_image(writing.png, rows);
    png_write_end(writing.png, writing.info);
    return true;
}

// Destroys the encoder however encode_png ends.
struct png_writing_owner {
    png_writing& writing;
    ~png_writing_owner() { png_destroy_write_struct(&writing.png, writing.info ? &writing.info : nullptr); }
};

}  // namespace

std::string encode_png(const cv::Mat& image, std::vector<unsigned char>& png)
{
    if (image.type() != CV_8UC3 || image.empty()) return "not a non-empty 8-bit three-channel image";
    png.clear();
    png_writing writing;
    writing.out = &png;
    png_report* report = &writing;
    writing.png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, report, on_png_error, on_png_warning, report,
                                            on_png_malloc, on_png_free);
    if (writing.png == nullptr) throw std::bad_alloc();
    const png_writing_owner owner{writing};
    writing.info = png_create_info_struct(writing.png);
    if (writing.info == nullptr) throw std::bad_alloc();

    std::vector<unsigned char*> rows(static_cast<std::size_t>(image.rows));
    for (int y = 0; y < image.rows; ++y) rows[static_cast<std::size_t>(y)] = const_cast<unsigned char*>(image.ptr(y));
    if (write_image(writing, image.cols, image.rows, rows.data())) return "";
    if (writing.out_of_memory) throw std::bad_alloc();
    return std::string("PNG encoding failed: ") + writing.message;
}

}  // namespace orvo::detail
