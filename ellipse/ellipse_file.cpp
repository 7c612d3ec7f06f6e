// Scaling, writing and drawing the ellipses of a run.
#include "ellipse/ellipse_file.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <opencv2/imgproc.hpp>

#include "ellipse/atomic_file.h"

void scale_ellipses(std::vector<std::vector<double>>& ellipses, double scale)
{
    const double s2 = scale * scale;
    for (std::vector<double>& e : ellipses) {
        e[0] += 1.0;
        e[1] += 1.0;
        for (int i = 2; i <= 5; ++i) e[i] /= s2;
    }
}

bool save_ellipses_file(const std::vector<std::vector<double>>& ellipses, const std::string& file_name)
{
    const std::string error = write_file_atomically(file_name, [&](std::FILE* fp) {
        std::fprintf(fp, "%f\n%d\n", 0.0, static_cast<int>(ellipses.size()));
        for (const std::vector<double>& e : ellipses)
            std::fprintf(fp, "%.10f %.10f %.10f %.10f %.10f\n", e[0] + 1.0, e[1] + 1.0, e[2], e[3], e[5]);
    });
    if (error.empty()) return true;
    std::cerr << "Unable to write file " << file_name << ": " << error << std::endl;
    return false;
}

void draw_ellipses(cv::Mat& image, const std::vector<std::vector<double>>& ellipses)
{
    const cv::Scalar black(0, 0, 0), yellow(0, 255, 255);
    for (const std::vector<double>& e : ellipses) {
        const double a = e[2], b = e[3], c = e[5];
        const double d = std::sqrt((a - c) * (a - c) + 4 * b * b);
        const double lambda1 = (a + c + d) * 0.5;
        const double lambda2 = (a + c - d) * 0.5;
        const double w = 1 / std::sqrt(lambda1), h = 1 / std::sqrt(lambda2);
        // Not positive definite, not finite, or too large to draw.
        if (!(w >= 0 && w < INT_MAX && h >= 0 && h < INT_MAX)) continue;
        if (!(std::fabs(e[0]) < INT_MAX && std::fabs(e[1]) < INT_MAX)) continue;
        // The first semi-axis lies along the eigenvector (b, lambda1 - a) of
        // lambda1, in image coordinates (rows downward), as the drawing
        // functions measure their rotation.
        const double angle = std::atan2(lambda1 - a, b) / 3.14159 * 180.0;
        const cv::Point centre(static_cast<int>(e[0]), static_cast<int>(e[1]));
        const cv::Size axes(static_cast<int>(w), static_cast<int>(h));
        cv::circle(image, centre, 1, black, 2, cv::LINE_8, 0);
        cv::circle(image, centre, 1, yellow, 1, cv::LINE_8, 0);
        cv::ellipse(image, centre, axes, angle, 0, 360, black, 3, cv::LINE_8, 0);
        cv::ellipse(image, centre, axes, angle, 0, 360, yellow, 2, cv::LINE_8, 0);
    }
}
