// Eigen decomposition and axes of an ellipse's symmetric 2 x 2 matrix.
#include "ellipse/ellipse_matrix.h"

#include <cmath>

namespace orvo::detail {

eigenvalues_2x2 eigenvalues(const ellipse_matrix& m)
{
    // hypot: no overflow or underflow of the squares for extreme matrices.
    const double d = std::hypot(m.a - m.c, 2 * m.b);
    return {(m.a + m.c + d) * 0.5, (m.a + m.c - d) * 0.5};
}

eigen_decomposition_2x2 eigen_decomposition(const ellipse_matrix& m)
{
    eigen_decomposition_2x2 result;
    result.values = eigenvalues(m);
    double ex = m.b, ey = result.values.larger - m.a;
    if (std::abs(ex) + std::abs(ey) < 1e-300) {
        ex = result.values.larger - m.c;
        ey = m.b;
    }
    double norm = std::hypot(ex, ey);
    if (norm == 0) {
        ex = 1;
        ey = 0;
        norm = 1;
    }
    result.larger_vector = cv::Vec2d(ex / norm, ey / norm);
    return result;
}

semi_axes ellipse_semi_axes(const ellipse_matrix& m)
{
    const eigenvalues_2x2 values = eigenvalues(m);
    return {1 / std::sqrt(values.smaller), 1 / std::sqrt(values.larger)};
}

double major_axis_degrees(const ellipse_matrix& m)
{
    // The major axis lies along the eigenvector of the smaller eigenvalue,
    // a right angle from that of the larger.
    double degrees = (0.5 * std::atan2(2 * m.b, m.a - m.c) + CV_PI / 2) * 180 / CV_PI;
    degrees = std::fmod(degrees, 180.0);
    if (degrees < 0) degrees += 180;
    return degrees;
}

cv::Matx22d inverse_square_root(const ellipse_matrix& m)
{
    const eigen_decomposition_2x2 e = eigen_decomposition(m);
    const double ex = e.larger_vector[0], ey = e.larger_vector[1];
    const double s1 = 1 / std::sqrt(e.values.larger), s2 = 1 / std::sqrt(e.values.smaller);
    // V diag(s1, s2) V' with V = [e, e_perp].
    return cv::Matx22d(s1 * ex * ex + s2 * ey * ey, (s1 - s2) * ex * ey, (s1 - s2) * ex * ey,
                       s1 * ey * ey + s2 * ex * ex);
}

cv::Matx22d lower_triangular_frame(const ellipse_matrix& m)
{
    // M^-1 = [[c, -b], [-b, a]] / d.
    const double d = m.a * m.c - m.b * m.b;
    return cv::Matx22d(std::sqrt(m.c / d), 0, -m.b / std::sqrt(m.c * d), 1 / std::sqrt(m.c));
}

}  // namespace orvo::detail
