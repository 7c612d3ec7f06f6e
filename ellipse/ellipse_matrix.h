// The symmetric 2 x 2 matrix [[a, b], [b, c]] of an ellipse: its eigen
// decomposition, semi-axes, the angle of its major axis and its inverse
// square root. The ellipse is the set of points p with p' M p <= 1, so each
// semi-axis is 1 / sqrt of an eigenvalue, the major one of the smaller.
#pragma once

#include <opencv2/core.hpp>

namespace orvo::detail {

struct ellipse_matrix {
    double a = 0, b = 0, c = 0;
};

struct eigenvalues_2x2 {
    double larger = 0, smaller = 0;
};

// (a + c +- hypot(a - c, 2 b)) / 2.
eigenvalues_2x2 eigenvalues(const ellipse_matrix& m);

struct eigen_decomposition_2x2 {
    eigenvalues_2x2 values;
    cv::Vec2d larger_vector;  // a unit eigenvector of the larger value
};

// The eigenvalues and a unit eigenvector of the larger: (b, larger - a)
// normalised, or (larger - c, b) when that one is (nearly) zero, or (1, 0)
// for a multiple of the identity.
eigen_decomposition_2x2 eigen_decomposition(const ellipse_matrix& m);

struct semi_axes {
    double major = 0, minor = 0;
};

// 1 / sqrt of the smaller and of the larger eigenvalue.
semi_axes ellipse_semi_axes(const ellipse_matrix& m);

// The angle of the major axis in degrees, in [0, 180), measured from the x
// axis towards the y axis (clockwise on an image, whose rows go down).
double major_axis_degrees(const ellipse_matrix& m);

// M^(-1/2), the symmetric matrix that maps the unit circle onto the ellipse.
cv::Matx22d inverse_square_root(const ellipse_matrix& m);

// The lower triangular A with A A' = M^-1, which also maps the unit circle
// onto the ellipse (the Cholesky factor of M^-1).
cv::Matx22d lower_triangular_frame(const ellipse_matrix& m);

}  // namespace orvo::detail
