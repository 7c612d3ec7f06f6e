// Alpha values of the weighted alpha shape: each finite triangle's squared
// orthogonal radius, and each finite edge's interval (own radius or
// UNDEFINED when attached, then the smaller and the larger alpha of its
// faces), all clamped at 0.
#include "edges/alpha_shape.h"

#include <CGAL/Interval_nt.h>
#include <CGAL/Exact_rational.h>
#include <algorithm>
#include <cmath>

namespace {

double clamp_at_zero(double value)
{
    return value > 0.0 ? value : 0.0;  // a NaN fails the test and becomes 0
}

// The attached test's left-hand side, in any number type.
template <class NT>
NT attached_expression(const Weighted_point& o, const Weighted_point& e, const Weighted_point& c)
{
    const NT ox = o.x(), oy = o.y(), wo = o.weight();
    const NT ex = e.x() - ox, ey = e.y() - oy, we = e.weight();
    const NT cx = c.x() - ox, cy = c.y() - oy, wc = c.weight();
    const NT D = ex * ex + ey * ey;
    return -(cx * cx + cy * cy - wc + wo) * D + (D - we + wo) * (cx * ex + cy * ey);
}

}  // namespace

double face_squared_radius(const Weighted_point& p, const Weighted_point& q, const Weighted_point& r)
{
    const double dpx = p.x() - r.x(), dpy = p.y() - r.y();
    const double dqx = q.x() - r.x(), dqy = q.y() - r.y();
    const double Pp = dpx * dpx + dpy * dpy - p.weight() + r.weight();
    const double Pq = dqx * dqx + dqy * dqy - q.weight() + r.weight();
    const double den = dpx * dqy - dpy * dqx;
    const double nx = dqy * Pp - dpy * Pq;
    const double ny = Pq * dpx - Pp * dqx;
    return clamp_at_zero((nx * nx + ny * ny) / (4 * (den * den)) - r.weight());
}

double edge_squared_radius(const Weighted_point& a, const Weighted_point& b)
{
    const double dx = a.x() - b.x(), dy = a.y() - b.y();
    const double d = dx * dx + dy * dy;
    const double t = d - a.weight() + b.weight();
    return clamp_at_zero(t * t / (4 * d) - b.weight());
}

namespace {

// The attached test's left-hand side over magnitudes (every term taken
// positive), which bounds its rounding error in double arithmetic.
double attached_magnitude(const Weighted_point& o, const Weighted_point& e, const Weighted_point& c)
{
    const double ex = e.x() - o.x(), ey = e.y() - o.y();
    const double cx = c.x() - o.x(), cy = c.y() - o.y();
    const double wo = std::abs(o.weight());
    const double D = ex * ex + ey * ey;
    return (cx * cx + cy * cy + std::abs(c.weight()) + wo) * D +
           (D + std::abs(e.weight()) + wo) * (std::abs(cx * ex) + std::abs(cy * ey));
}

}  // namespace

bool is_attached(const Weighted_point& o, const Weighted_point& e, const Weighted_point& c)
{
    // In doubles first, where the value is farther from zero than a wide
    // bound on its error; then in interval arithmetic; only when the interval
    // straddles zero is the sign settled with exact rationals (inputs are
    // doubles, so exact).
    const int sign = certain_sign(attached_expression<double>(o, e, c), attached_magnitude(o, e, c));
    if (sign != 0) return sign > 0;
    {
        CGAL::Protect_FPU_rounding<true> protect;
        const CGAL::Interval_nt<false> v = attached_expression<CGAL::Interval_nt<false>>(o, e, c);
        if (v.inf() > 0) return true;
        if (v.sup() <= 0) return false;
    }
    return CGAL::sign(attached_expression<CGAL::Exact_rational>(o, e, c)) == CGAL::POSITIVE;
}

void number_faces(Alpha_shape_2& A)
{
    std::size_t order = 0;
    for (auto f = A.all_faces_begin(); f != A.all_faces_end(); ++f) f->info().order = order++;
}

void number_faces_and_vertices(Alpha_shape_2& A)
{
    number_faces(A);
    std::size_t number = 0;
    for (auto v = A.tds().vertices_begin(); v != A.tds().vertices_end(); ++v) v->info() = number++;
}

namespace {

// Lexicographic order of the bare positions: x, then y.
bool lexicographically_less(const Weighted_point& a, const Weighted_point& b)
{
    return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
}

}  // namespace

void initialize_interval_face_map(Alpha_shape_2& A)
{
    // The lexicographically smallest vertex is the origin, so that the value
    // does not depend on which vertex the triangulation stores first (the
    // other two may come in either order: the value is the same).
    for (Face_handle f : A.finite_face_handles()) {
        const Weighted_point* v[3] = {&f->vertex(0)->point(), &f->vertex(1)->point(), &f->vertex(2)->point()};
        int origin = 0;
        for (int i = 1; i < 3; ++i)
            if (lexicographically_less(*v[i], *v[origin])) origin = i;
        f->info().alpha = face_squared_radius(*v[(origin + 1) % 3], *v[(origin + 2) % 3], *v[origin]);
    }
}

namespace {

bool attached_to(const Face_handle& f, int i)
{
    return is_attached(f->vertex(Alpha_shape_2::ccw(i))->point(), f->vertex(Alpha_shape_2::cw(i))->point(),
                       f->vertex(i)->point());
}

// The edge's endpoints in lexicographic order, the larger first, whichever
// face the edge is seen from.
double edge_radius_in(const Face_handle& f, int i)
{
    const Weighted_point& a = f->vertex(Alpha_shape_2::ccw(i))->point();
    const Weighted_point& b = f->vertex(Alpha_shape_2::cw(i))->point();
    return lexicographically_less(a, b) ? edge_squared_radius(b, a) : edge_squared_radius(a, b);
}

}  // namespace

void initialize_interval_edge_map(Alpha_shape_2& A)
{
    number_faces_and_vertices(A);
    for_each_finite_edge(A, [&A](const Face_handle& f, int i) {
        const Face_handle n = f->neighbor(i);
        const int ni = n->index(f);
        const bool hull = A.is_infinite(n);  // a convex-hull edge has one finite face
        edge_interval interval;
        interval.first = attached_to(f, i) || (!hull && attached_to(n, ni)) ? UNDEFINED : edge_radius_in(f, i);
        interval.second = hull ? f->info().alpha : std::min(f->info().alpha, n->info().alpha);
        interval.third = hull ? Infinity : std::max(f->info().alpha, n->info().alpha);
        f->info().interval[i] = interval;
        n->info().interval[ni] = interval;
    });
}

void get_intermediate_edge_points(Alpha_shape_2& A, std::vector<Point_2>& points, double step)
{
    points.clear();
    const double min_length = step / 1.5;
    number_faces(A);
    for_each_finite_edge(A, [&](const Face_handle& f, int i) {
        const Point_2& p = f->vertex(Alpha_shape_2::cw(i))->point().point();
        const Point_2& q = f->vertex(Alpha_shape_2::ccw(i))->point().point();
        const double dx = p.x() - q.x(), dy = p.y() - q.y();
        if (std::sqrt(dx * dx + dy * dy) >= min_length)
            points.emplace_back((p.x() + q.x()) * 0.5, (p.y() + q.y()) * 0.5);
    });
}
