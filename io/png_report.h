// What libpng reports while a PNG is read or written, kept as values: its
// error message (after which it jumps back to the caller's setjmp) and
// whether an allocation failed. Warnings are dropped; nothing is printed.
//
//   struct my_job : png_report { ... };
//   png_report* report = &job;
//   png_create_read_struct_2(PNG_LIBPNG_VER_STRING, report, on_png_error, on_png_warning, report,
//                            on_png_malloc, on_png_free);
#pragma once

#include <png.h>

namespace orvo::detail {

struct png_report {
    bool out_of_memory = false;  // an allocation failed
    char message[256] = {};      // libpng's error message
};

// The callbacks for png_create_{read,write}_struct_2, whose error and memory
// pointers must be the png_report.
extern "C" void on_png_error(png_structp png, png_const_charp message);
extern "C" void on_png_warning(png_structp png, png_const_charp message);
extern "C" png_voidp on_png_malloc(png_structp png, png_alloc_size_t size);
extern "C" void on_png_free(png_structp png, png_voidp memory);

}  // namespace orvo::detail
