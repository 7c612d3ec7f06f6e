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

using K = CGAL::Exact_predicates_inexact_constructions_kernel;

class Power_test : public K::Power_side_of_oriented_power_circle_2 {
public:
    using Exact = K::Power_side_of_oriented_power_circle_2;
    using Exact::operator();

    CGAL::Oriented_side operator()(const K::Weighted_point_2& p, const K::Weighted_point_2& q,
                                   const K::Weighted_point_2& r, const K::Weighted_point_2& t) const
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

        // The same expression over magnitudes: every rounding above is at
        // most 2^-53 of the magnitude of the value it rounds, and fewer than
        // 20 of them reach the result, so |error| < 20 * 2^-53 * magnitude.
        // The factor used leaves a wide margin (including the rounding of
        // the magnitude itself).
        const double apz = px * px + py * py + std::abs(p.weight()) + std::abs(t.weight());
        const double aqz = qx * qx + qy * qy + std::abs(q.weight()) + std::abs(t.weight());
        const double arz = rx * rx + ry * ry + std::abs(r.weight()) + std::abs(t.weight());
        const double aqy = std::abs(qy), ary = std::abs(ry), aqx = std::abs(qx), arx = std::abs(rx);
        const double magnitude = std::abs(px) * (aqy * arz + aqz * ary) + std::abs(py) * (aqx * arz + aqz * arx) +
                                 apz * (aqx * ary + aqy * arx);
        // Within these magnitudes no product underflows or overflows.
        if (magnitude > 1e-200 && magnitude < 1e200) {
            const double bound = 1e-14 * magnitude;
            if (det > bound) return CGAL::ON_POSITIVE_SIDE;
            if (det < -bound) return CGAL::ON_NEGATIVE_SIDE;
        }
        return Exact::operator()(p, q, r, t);
    }
};

// The kernel, with the power test above, as the regular triangulation's
// traits.
struct Triangulation_traits : K {
    using Power_side_of_oriented_power_circle_2 = Power_test;
    Power_test power_side_of_oriented_power_circle_2_object() const { return {}; }
};
