// Generated textured test images: a gradient, many filled shapes of random
// colour (long closed edges), thin lines and mild noise. Deterministic for a
// given size and seed.
#pragma once

#include <opencv2/core.hpp>

cv::Mat generated_image(int width, int height, unsigned seed);
