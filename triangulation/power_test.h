// The power test of the regular triangulation, with a fast path: where the
// triangulation asks on which side of the power circle of three weighted
// points a fourth lies, the 3 x 3 determinant is first evaluated in double
// arithmetic together with a bound on its rounding error. When the value is
// farther from zero than the bound, its sign is the exact sign; otherwise
// (near-degenerate configurations, or magnitudes where the bound does not
// hold) the kernel's own exactly-decided predicate answers. Either way the
// answer is the exact one, so the triangulation is the same.
#pragma once

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <cmath>

namespace orvo::detail {

using kernel = CGAL::Exact_predicates_inexact_constructions_kernel;

// The sign of an expression evaluated in doubles, when it is certain: 1 or
// -1, or 0 when the value lies within the bound on its rounding error.
// `magnitude` is the same expression over the absolute values of its terms;
// each of the expression's roundings (fewer than 20 on any path) is at most
// 2^-53 of a value it bounds, and the factor used leaves a wide margin (the
// rounding of the magnitude itself included). Outside the range tested no
// product underflows or overflows.
inline int certain_sign(double value, double magnitude)
{
    if (!(magnitude > 1e-200 && magnitude < 1e200)) return 0;
    const double bound = 1e-14 * magnitude;
    return value > bound ? 1 : value < -bound ? -1 : 0;
}

class power_test : public kernel::Power_side_of_oriented_power_circle_2 {
public:
    using exact_test = kernel::Power_side_of_oriented_power_circle_2;
    using exact_test::operator();

    CGAL::Oriented_side operator()(const kernel::Weighted_point_2& p, const kernel::Weighted_point_2& q,
                                   const kernel::Weighted_point_2& r, const kernel::Weighted_point_2& t) const
    {
        // t is the origin; each point lifted to x^2 + y^2 - w + w_t, as the
        // exact predicate lifts it.
        const double px = p.x() - t.x(), py = p.y() - t.y();
        const double qx = q.x() - t.x(), qy = q.y() - t.y();
        const double rx = r.x() - t.x(), ry = r.y() - t.y();
        const double pz = px * px + py * py - p.weight() + t.weight();
        const double qz = qx * qx + qy * qy - q.weight() + t.weight();
        const double rz = rx * rx + ry * ry - r.weight() + t.weight();
        const double det = px * (qy * rz - qz * ry) - py * (qx * rz - qz * rx) + pz * (qx * ry - qy * rx);

        // The same expression over magnitudes.
        const double apz = px * px + py * py + std::abs(p.weight()) + std::abs(t.weight());
        const double aqz = qx * qx + qy * qy + std::abs(q.weight()) + std::abs(t.weight());
        const double arz = rx * rx + ry * ry + std::abs(r.weight()) + std::abs(t.weight());
        const double aqy = std::abs(qy), ary = std::abs(ry), aqx = std::abs(qx), arx = std::abs(rx);
        const double magnitude = std::abs(px) * (aqy * arz + aqz * ary) + std::abs(py) * (aqx * arz + aqz * arx) +
                                 apz * (aqx * ary + aqy * arx);
        const int sign = certain_sign(det, magnitude);
        if (sign != 0) return sign > 0 ? CGAL::ON_POSITIVE_SIDE : CGAL::ON_NEGATIVE_SIDE;
        return exact_test::operator()(p, q, r, t);
    }
};

// The kernel, with the power test above, as the regular triangulation's
// traits.
struct triangulation_traits : kernel {
    using Power_side_of_oriented_power_circle_2 = power_test;
    power_test power_side_of_oriented_power_circle_2_object() const { return {}; }
};

}  // namespace orvo::detail
