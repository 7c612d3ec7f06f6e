// orvo/draw.h: drawing regions over an image.
//
//   cv::Mat picture = image.clone();
//   orvo::draw(picture, regions);
//   cv::imwrite("regions.png", picture);
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "orvo/export.h"
#include "orvo/region.h"

namespace orvo {

// Draws every region into an 8-bit three-channel image: a yellow outline
// two pixels wide in a black border, and a yellow dot in a black ring at the
// centre. Regions that cannot be drawn (not positive definite, too large)
// are skipped.
ORVO_EXPORT void draw(cv::Mat& image, const std::vector<Region>& regions);

}  // namespace orvo
