// libpng's errors, warnings and allocations for the PNG reader and writer.
#include "io/png_report.h"

#include <cstdlib>
#include <cstring>

namespace orvo::detail {

extern "C" void on_png_error(png_structp png, png_const_charp message)
{
    png_report* report = static_cast<png_report*>(png_get_error_ptr(png));
    std::strncpy(report->message, message, sizeof report->message - 1);
    png_longjmp(png, 1);
}

extern "C" void on_png_warning(png_structp, png_const_charp) {}

extern "C" png_voidp on_png_malloc(png_structp png, png_alloc_size_t size)
{
    void* memory = std::malloc(size);
    if (memory == nullptr) static_cast<png_report*>(png_get_mem_ptr(png))->out_of_memory = true;
    return memory;
}

extern "C" void on_png_free(png_structp, png_voidp memory)
{
    std::free(memory);
}

}  // namespace orvo::detail
