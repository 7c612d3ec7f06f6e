// Generated test images: textured ones (a gradient, many filled shapes of
// random colour (long closed edges), thin lines and mild noise),
// deterministic for a given size and seed; and one antialiased shape on a
// plain background.
#pragma once

#include <functional>
#include <opencv2/core.hpp>

cv::Mat generated_image(int width, int height, unsigned seed);

// An 8-bit grey image of `size`: 200 outside the shape, 50 inside, each
// pixel the mean over 16 x 16 points of its square (pixel (x, y) covers
// [x - 1/2, x + 1/2] x [y - 1/2, y + 1/2]).
cv::Mat antialiased_shape(cv::Size size, const std::function<bool(double x, double y)>& inside);
