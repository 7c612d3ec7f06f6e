// Drawing the regions over the image again, and saving the drawing as a PNG
// through the atomic writer.
#include "app/drawing_step.h"

#include <cstdio>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "app/window_step.h"
#include "io/atomic_file.h"
#include "io/png_encoder.h"
#include "orvo/draw.h"
#include "orvo/errors.h"
#include "orvo/image.h"

namespace orvo::cli {

namespace {

bool save_png(const std::string& file_name, const cv::Mat& drawing)
{
    std::vector<unsigned char> png;
    std::string error = orvo::detail::encode_png(drawing, png);
    if (error.empty())
        error = orvo::detail::write_file_atomically(
            file_name, [&](std::FILE* fp) { std::fwrite(png.data(), 1, png.size(), fp); });
    if (error.empty()) return true;
    std::cerr << "Unable to write file " << file_name << ": " << error << std::endl;
    return false;
}

}  // namespace

bool draw_show_and_save(const std::string& image_name, const std::vector<orvo::Region>& regions, bool disp,
                        bool save)
{
    cv::Mat drawing;
    try {
        drawing = orvo::read_image(image_name);
    } catch (const orvo::ImageError&) {
        std::cerr << "Unable to read " << image_name << " again: nothing drawn" << std::endl;
        return false;
    }
    if (drawing.channels() == 1) cv::cvtColor(drawing, drawing, cv::COLOR_GRAY2BGR);
    orvo::draw(drawing, regions);
    bool ok = true;
    if (save) ok = save_png(image_name + ".orvo.png", drawing) && ok;
    if (disp) ok = show_until_key(image_name, drawing) && ok;
    return ok;
}

}  // namespace orvo::cli
