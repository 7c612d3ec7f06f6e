// Ellipse fitting by moments: the centroid and the inverse of k times the
// covariance of the region enclosed by a point set's convex hull, whose
// boundary is first digitised on the integer pixel grid.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

// Appends the digitised convex-hull boundary of the pixel positions
// `points` (at least one) to hull_x, hull_y: the hull walked in the image
// library's clockwise order, each straight run between hull vertices
// rasterised. With two or fewer hull vertices the vertices alone are
// appended.
void calc_convex_hulls(std::vector<cv::Point> points, std::vector<double>& hull_x, std::vector<double>& hull_y);

// Appends the rasterised run from p1 to p2 (both included; p2 always
// appended, also when it repeats the last point). Returns 1.
int myGetLineFromEndPts(cv::Point p1, cv::Point p2, std::vector<cv::Point>& contour);

// Moments of the closed polygon (X[i], Y[i]) by Green's theorem. On success
// appends (mx, my, M11, M12, M21, M22), M being the inverse of k times the
// covariance, and returns 0; on failure (no area, non-positive determinant)
// appends -1 and returns -1. `size` receives twice the signed area.
double fitEllipseMOMENTS(std::vector<double> X, std::vector<double> Y, double k, std::vector<double>& params,
                         double& size);
