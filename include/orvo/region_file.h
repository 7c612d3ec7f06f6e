// orvo/region_file.h: the plain-text affine-region file.
//
//   0.000000          first line: a number (the descriptor length; 0 here)
//   2                 the number of regions
//   u v a b c         one line per region
//
// (u, v) is the centre in pixels plus the file's origin offset: Orvo's own
// files (written by `orvo`) hold the 0-based centre plus 2, classic 0-based
// files plus 0. The matrix is written as is. A descriptor file has the same
// layout, with the descriptor length on the first line and the descriptor's
// values after each region's five numbers.
//
//   orvo::write_region_file("photo.jpg.orvo", regions);      // as orvo does
//   auto back = orvo::read_region_file("photo.jpg.orvo");     // 0-based again
//   auto classic = orvo::read_region_file("other.txt", 0.0);  // 0-based file
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "orvo/export.h"
#include "orvo/region.h"

namespace orvo {

// The origin offset of the files `orvo` writes.
constexpr double ORVO_FILE_OFFSET = 2.0;

// Reads a region file strictly: the count must match the lines, each line
// holds exactly five finite numbers, each matrix is positive definite.
// Extra numbers after the five (a descriptor file's) are allowed only when
// the first line announces a descriptor length. Numbers are read (and
// written, below) in the "C" locale, whatever locale the process runs in.
// Throws orvo::RegionFileError "<file>:<line>: <what is wrong>". When
// `as_written` is not null it receives each region's five numbers exactly as
// the file writes them, for tools that copy them into their own output.
ORVO_EXPORT std::vector<Region> read_region_file(const std::string& path, double offset = ORVO_FILE_OFFSET,
                                                 std::vector<std::string>* as_written = nullptr);

// Why `regions` cannot be written: the first region (counted from 1) that
// is not finite and positive definite, or whose matrix, as written with ten
// decimals, would not read back so (a semi-axis of 10^5 pixels or more has a
// matrix that rounds to zeros), with its numbers as written. Empty when every
// region can be written.
ORVO_EXPORT std::string unwritable_reason(const std::vector<Region>& regions);

// Writes the file completely or not at all (through a temporary file
// renamed into place). Throws std::invalid_argument, before anything is
// written, when a region cannot be written (unwritable_reason), and
// orvo::RegionFileError "<file>: <reason>" when the file cannot be.
ORVO_EXPORT void write_region_file(const std::string& path, const std::vector<Region>& regions,
                                   double offset = ORVO_FILE_OFFSET);

// The descriptor file: the descriptor length (128), the count, then per
// region its five numbers and its descriptor's values (`descriptors` as
// orvo::describe returns them). The numbers are written as write_region_file
// writes them (refused as above), or taken from `as_written` (one string per
// region) when given. Complete or nothing, as above.
ORVO_EXPORT void write_descriptor_file(const std::string& path, const std::vector<Region>& regions,
                                       const cv::Mat& descriptors, double offset = ORVO_FILE_OFFSET,
                                       const std::vector<std::string>* as_written = nullptr);

}  // namespace orvo
