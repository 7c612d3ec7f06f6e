// Drawing regions: outline and centre dot of each ellipse.
#include "orvo/draw.h"

#include <climits>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "ellipse/ellipse_matrix.h"

namespace orvo {

void draw(cv::Mat& image, const std::vector<Region>& regions)
{
    const cv::Scalar black(0, 0, 0), yellow(0, 255, 255);
    for (const Region& r : regions) {
        const detail::eigen_decomposition_2x2 e = detail::eigen_decomposition({r.a, r.b, r.c});
        const double w = 1 / std::sqrt(e.values.larger), h = 1 / std::sqrt(e.values.smaller);
        // Not positive definite, not finite, or too large to draw.
        if (!(w >= 0 && w < INT_MAX && h >= 0 && h < INT_MAX)) continue;
        if (!(std::fabs(r.x) < INT_MAX && std::fabs(r.y) < INT_MAX)) continue;
        // The first semi-axis lies along the eigenvector of the larger
        // eigenvalue, in image coordinates (rows downward), as the drawing
        // functions measure their rotation.
        const double angle = std::atan2(e.larger_vector[1], e.larger_vector[0]) * 180 / CV_PI;
        const cv::Point centre(static_cast<int>(r.x), static_cast<int>(r.y));
        const cv::Size axes(static_cast<int>(w), static_cast<int>(h));
        cv::circle(image, centre, 1, black, 2, cv::LINE_8, 0);
        cv::circle(image, centre, 1, yellow, 1, cv::LINE_8, 0);
        cv::ellipse(image, centre, axes, angle, 0, 360, black, 3, cv::LINE_8, 0);
        cv::ellipse(image, centre, axes, angle, 0, 360, yellow, 2, cv::LINE_8, 0);
    }
}

}  // namespace orvo
