// orvo/orvo.h: the whole public API of the Orvo region detector.
//
//   #include <orvo/orvo.h>
//
//   cv::Mat image = orvo::read_image("photo.jpg");
//   std::vector<orvo::Region> regions = orvo::detect(image);
//   cv::Mat descriptors = orvo::describe(image, orvo::scaled(regions, orvo::MEASUREMENT_SCALE));
//   orvo::write_region_file("photo.jpg.orvo", regions);
//
// Build against the installed package with CMake (find_package(Orvo),
// target Orvo::orvo) or pkg-config (orvo).
#pragma once

#include "orvo/describe.h"
#include "orvo/detector.h"
#include "orvo/draw.h"
#include "orvo/errors.h"
#include "orvo/export.h"
#include "orvo/feature2d.h"
#include "orvo/image.h"
#include "orvo/match.h"
#include "orvo/region.h"
#include "orvo/region_file.h"
