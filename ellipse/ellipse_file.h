// The ellipse list at the end of a run: scaling, the affine-region file that
// descriptor tools read, and the drawing over the image.
//
// An ellipse record is (centre x, centre y, a, b, b, c): the region is the
// set of points p with (p - centre)' [[a b][b c]] (p - centre) <= 1.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

// Shifts every centre by +1 and divides every matrix by scale^2 (so the
// semi-axes grow by `scale`).
void scale_ellipses(std::vector<std::vector<double>>& ellipses, double scale);

// Writes the file: "0.000000", the count, then one line "x y a b c" per
// ellipse with x and y shifted by +1 once more. On failure writes
// "Unable to write file", the name and the reason to standard error and
// returns false; an existing file is then left as it was.
bool save_ellipses_file(const std::vector<std::vector<double>>& ellipses, const std::string& file_name);

// Draws every ellipse into an 8-bit three-channel image: a yellow outline two
// pixels wide in a black border, and a yellow dot in a black ring at the
// centre. Records whose semi-axes cannot be drawn are skipped.
void draw_ellipses(cv::Mat& image, const std::vector<std::vector<double>>& ellipses);
