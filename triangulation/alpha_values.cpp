// Alpha values of the regular triangulation, all clamped at 0. Each value is
// computed from the lexicographically ordered vertices, so that it does not
// depend on which vertex the triangulation happens to store first.
#include "triangulation/alpha_values.h"

#include <CGAL/Interval_nt.h>
#include <CGAL/Exact_rational.h>
#include <algorithm>
#include <cmath>
#include <vector>

#include "parallel/jobs.h"
#include "triangulation/fetch_ahead.h"

namespace orvo::detail {
namespace {

double clamp_at_zero(double value)
{
    return value > 0.0 ? value : 0.0;  // a NaN fails the test and becomes 0
}

// The attached test's left-hand side, in any number type.
template <class NT>
NT attached_expression(const weighted_point& o, const weighted_point& e, const weighted_point& c)
{
    const NT ox = o.x(), oy = o.y(), wo = o.weight();
    const NT ex = e.x() - ox, ey = e.y() - oy, we = e.weight();
    const NT cx = c.x() - ox, cy = c.y() - oy, wc = c.weight();
    const NT D = ex * ex + ey * ey;
    return -(cx * cx + cy * cy - wc + wo) * D + (D - we + wo) * (cx * ex + cy * ey);
}

}  // namespace

double face_squared_radius(const weighted_point& p, const weighted_point& q, const weighted_point& r)
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

double edge_squared_radius(const weighted_point& a, const weighted_point& b)
{
    const double dx = a.x() - b.x(), dy = a.y() - b.y();
    const double d = dx * dx + dy * dy;
    const double t = d - a.weight() + b.weight();
    return clamp_at_zero(t * t / (4 * d) - b.weight());
}

namespace {

// The attached test's left-hand side over magnitudes (every term taken
// positive), which bounds its rounding error in double arithmetic.
double attached_magnitude(const weighted_point& o, const weighted_point& e, const weighted_point& c)
{
    const double ex = e.x() - o.x(), ey = e.y() - o.y();
    const double cx = c.x() - o.x(), cy = c.y() - o.y();
    const double wo = std::abs(o.weight());
    const double D = ex * ex + ey * ey;
    return (cx * cx + cy * cy + std::abs(c.weight()) + wo) * D +
           (D + std::abs(e.weight()) + wo) * (std::abs(cx * ex) + std::abs(cy * ey));
}

}  // namespace

bool is_attached(const weighted_point& o, const weighted_point& e, const weighted_point& c)
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

namespace {

// Lexicographic order of the bare positions: x, then y.
bool lexicographically_less(const weighted_point& a, const weighted_point& b)
{
    return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
}

// The face's alpha. The lexicographically smallest vertex is the origin,
// so that the value does not depend on which vertex the triangulation
// stores first (the other two may come in either order: the value is the
// same).
double face_alpha_of(const face_handle& f)
{
    const weighted_point* v[3] = {&f->vertex(0)->point(), &f->vertex(1)->point(), &f->vertex(2)->point()};
    int origin = 0;
    for (int i = 1; i < 3; ++i)
        if (lexicographically_less(*v[i], *v[origin])) origin = i;
    return face_squared_radius(*v[(origin + 1) % 3], *v[(origin + 2) % 3], *v[origin]);
}

bool attached_to(const face_handle& f, int i)
{
    return is_attached(f->vertex(regular_triangulation::ccw(i))->point(),
                       f->vertex(regular_triangulation::cw(i))->point(), f->vertex(i)->point());
}

// The edge's endpoints in lexicographic order, the larger first, whichever
// face the edge is seen from.
double edge_radius_in(const face_handle& f, int i)
{
    const weighted_point& a = f->vertex(regular_triangulation::ccw(i))->point();
    const weighted_point& b = f->vertex(regular_triangulation::cw(i))->point();
    return lexicographically_less(a, b) ? edge_squared_radius(b, a) : edge_squared_radius(a, b);
}

}  // namespace

face_alphas assign_alpha_values(regular_triangulation& triangulation, int threads)
{
    face_alphas alphas;
    if (triangulation.dimension() < 2) return alphas;
    // Each thread takes a run of the faces in storage order, first for their
    // alphas, then for the entries of the edges each is the first finite
    // face of (see for_each_finite_edge): every value is written by one
    // thread, into the record of the face it visits. The first walk writes
    // each face's whole record, the second the entries. The walks ask ahead
    // for the vertices and the neighbours, the second then for the
    // neighbours' records (their alphas).
    // The faces are numbered (as number_faces would) in the first walk.
    number_vertices(triangulation);
    const std::vector<face_iterator> cuts = cut_faces(triangulation, threads);
    const int runs = static_cast<int>(cuts.size()) - 1;
    const std::size_t count = triangulation.tds().number_of_faces();
    alphas.resize(count);
    run_jobs(runs, [&](int j) {
        std::size_t order = cut_position(count, runs, j);
        walk_fetching_ahead(cuts[j], cuts[j + 1], fetch_vertices, [&](const face_iterator& f) {
            f->info().order = order;
            alphas[order] = face_alpha();
            if (!triangulation.is_infinite(f)) alphas[order].alpha = face_alpha_of(f);
            ++order;
        });
    });
    const auto fetch_neighbours_and_vertices = [](const face_iterator& g) {
        fetch_neighbours(g);
        fetch_vertices(g);
    };
    const auto fetch_records_of_neighbours = [&](const face_iterator& g) {
        for (int k = 0; k < 3; ++k) fetch(alphas[g->neighbor(k)->info().order]);
    };
    run_jobs(runs, [&](int j) {
        walk_fetching_ahead(cuts[j], cuts[j + 1], fetch_neighbours_and_vertices, fetch_records_of_neighbours,
                            [&](const face_iterator& f) {
                                if (triangulation.is_infinite(f)) return;
                                for (int i = 0; i < 3; ++i)
                                    if (is_first_face_of_edge(triangulation, f, i))
                                        alphas[f->info().order].entry[i] =
                                            edge_interval_of(triangulation, alphas, f, i).entry();
                            });
    });
    return alphas;
}

edge_interval edge_interval_of(const regular_triangulation& triangulation, const face_alphas& alphas,
                               const face_handle& f, int i)
{
    const face_handle n = f->neighbor(i);
    const int ni = n->index(f);
    const bool hull = triangulation.is_infinite(n);  // a convex-hull edge has one finite face
    const double own = alphas[f->info().order].alpha, other = alphas[n->info().order].alpha;
    edge_interval interval;
    interval.own = attached_to(f, i) || (!hull && attached_to(n, ni)) ? ATTACHED : edge_radius_in(f, i);
    interval.lower = hull ? own : std::min(own, other);
    interval.upper = hull ? HULL_UPPER_ALPHA : std::max(own, other);
    return interval;
}

}  // namespace orvo::detail
