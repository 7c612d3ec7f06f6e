// Detection over an image pyramid: the edge sampling and the component
// sizes are fixed in pixels, so a structure that is too large or too coarse
// for them on the image is found on a reduced copy instead.
#include "scales/reduced_copies.h"

#include <cmath>
#include <opencv2/imgproc.hpp>

namespace orvo::detail {

Region region_on_image(const Region& r, double factor_x, double factor_y)
{
    // Level coordinates are D^-1 (p + 1/2) - 1/2 with D = diag(factor_x,
    // factor_y); the matrix becomes D^-1 M D^-1.
    return {(r.x + 0.5) * factor_x - 0.5, (r.y + 0.5) * factor_y - 0.5, r.a / (factor_x * factor_x),
            r.b / (factor_x * factor_y), r.c / (factor_y * factor_y), r.strength};
}

std::vector<pyramid_level> reduced_copies(const cv::Mat& grey, int levels, double step)
{
    constexpr int SMALLEST_SIDE = 32;
    std::vector<pyramid_level> pyramid{{grey, 1, 1}};
    double reduction = 1;
    for (int level = 1; level < levels; ++level) {
        reduction *= step;
        const cv::Size size(static_cast<int>(std::lround(grey.cols / reduction)),
                            static_cast<int>(std::lround(grey.rows / reduction)));
        if (size.width < SMALLEST_SIDE || size.height < SMALLEST_SIDE) break;
        pyramid_level reduced;
        cv::resize(grey, reduced.grey, size, 0, 0, cv::INTER_AREA);
        reduced.factor_x = static_cast<double>(grey.cols) / size.width;
        reduced.factor_y = static_cast<double>(grey.rows) / size.height;
        pyramid.push_back(reduced);
    }
    return pyramid;
}

}  // namespace orvo::detail
