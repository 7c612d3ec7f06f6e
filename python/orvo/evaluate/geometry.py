"""Ellipse geometry: mapping regions through a homography and the overlap of two ellipses.

A region is a row ``x y a b c``: the centre in 0-based pixel coordinates (x the column, pixel (0, 0)'s centre at
(0, 0)) and the symmetric matrix M = [[a, b], [b, c]]; the region is the set of points p with
(p - centre)' M (p - centre) <= 1.

Overlap of two ellipses
-----------------------
The overlap error of two ellipses is 1 - area(intersection) / area(union). It does not change when the same affine
map is applied to both, so each pair is first mapped to a frame in which the first ellipse is the unit disc D and
the second an ellipse E = {c + L u : |u| <= 1}. The area of D n E is then computed exactly with Green's theorem:
the boundary of D n E is made of arcs of the circle lying inside E and arcs of E lying inside the circle, and the
area integral 1/2 (x dy - y dx) over such arcs has a closed form (1/2 of the angle swept for a circle arc;
1/2 [det(L) (s1 - s0) + c x L (u(s1) - u(s0))] for the arc of E between parameters s0 and s1).

The arcs end where the two curves cross. On the circle p(t) = (cos t, sin t) the crossings are the real roots of
f(t) = (p - c)' Q (p - c) - 1, a trigonometric polynomial of degree 2; with z = exp(i t) it becomes a polynomial
of degree 4 whose roots on the unit circle are the crossings. They are found, for all pairs at once, as the
eigenvalues of the companion matrices. Each arc is kept or dropped by testing its middle point. When E is a circle
(or within a relative anisotropy of 1e-10 of one) the polynomial degenerates and the classic two-circle lens
formula is used instead.

Accuracy: the crossings are eigenvalues polished by Newton steps on f, and the arcs' integrals are closed forms,
so the result is exact up to rounding. Measured against a 1-D integral of the intersection's cross-sections (itself
accurate to 1e-10), the overlap error of random pairs is within 5e-10 of it, and computing a pair in either order
agrees to 1e-15; at (near) tangency, where a double crossing is ill-conditioned, the two orders agree to 1e-8.
The near-circle switch adds at most about 1e-10.
"""

import numpy as np

__all__ = [
    "as_regions",
    "region_matrices",
    "regions_from_matrices",
    "map_regions",
    "half_extents",
    "inside_image",
    "image_size",
    "ellipse_overlap_error",
    "is_invertible_homography",
]

# Below this relative anisotropy ((l_max - l_min) / (l_max + l_min) of Q) E is treated as a circle.
_CIRCLE_ANISOTROPY = 1e-10
# Roots z of the crossing polynomial with |log |z|| below this are taken as lying on the unit circle.
_ON_CIRCLE = 1e-6


def as_regions(regions):
    """Return ``regions`` as a float64 array of shape (N, 5), checking its shape."""
    r = np.asarray(regions, dtype=np.float64)
    if r.ndim == 1 and r.size == 0:
        r = r.reshape(0, 5)
    if r.ndim == 1 and r.shape[0] == 5:
        r = r[None, :]
    if r.ndim != 2 or r.shape[1] != 5:
        raise ValueError(f"regions must have shape (N, 5) (x y a b c), not {r.shape}")
    return r


def region_matrices(regions):
    """The (N, 2, 2) matrices M = [[a, b], [b, c]] of (N, 5) regions."""
    r = as_regions(regions)
    return np.stack([r[:, 2:4], r[:, 3:5]], axis=1)


def regions_from_matrices(centres, matrices):
    """Rows ``x y a b c`` from (N, 2) centres and (N, 2, 2) symmetric matrices."""
    centres = np.asarray(centres, dtype=np.float64).reshape(-1, 2)
    m = np.asarray(matrices, dtype=np.float64).reshape(-1, 2, 2)
    b = 0.5 * (m[:, 0, 1] + m[:, 1, 0])
    return np.column_stack([centres, m[:, 0, 0], b, m[:, 1, 1]])


def _determinant(r):
    return r[:, 2] * r[:, 4] - r[:, 3] ** 2


def map_regions(regions, H):
    """Map regions through the homography H by its local affine approximation at each centre.

    The centre goes to H(centre); with J the Jacobian of H there, the matrix becomes M' = (J M^-1 J')^-1 =
    J^-T M J^-1, so the ellipse is mapped exactly by the affine map that best approximates H at its centre.
    Returns ``(mapped, ok)``: the mapped (N, 5) regions and a boolean mask, false for regions whose centre
    H sends to infinity or behind the camera (w <= 0) or whose ellipse is not a proper one; their rows are NaN.
    """
    r = as_regions(regions)
    H = np.asarray(H, dtype=np.float64)
    if H.shape != (3, 3):
        raise ValueError(f"a homography is a 3 x 3 matrix, not {H.shape}")
    x, y = r[:, 0], r[:, 1]
    w = H[2, 0] * x + H[2, 1] * y + H[2, 2]
    with np.errstate(divide="ignore", invalid="ignore"):
        u = (H[0, 0] * x + H[0, 1] * y + H[0, 2]) / w
        v = (H[1, 0] * x + H[1, 1] * y + H[1, 2]) / w
        # J = (H[:2, :2] - p' H[2, :2]) / w
        j00 = (H[0, 0] - u * H[2, 0]) / w
        j01 = (H[0, 1] - u * H[2, 1]) / w
        j10 = (H[1, 0] - v * H[2, 0]) / w
        j11 = (H[1, 1] - v * H[2, 1]) / w
        detj = j00 * j11 - j01 * j10
        # K = J^-1
        k00, k01, k10, k11 = j11 / detj, -j01 / detj, -j10 / detj, j00 / detj
        a, b, c = r[:, 2], r[:, 3], r[:, 4]
        # M' = K' M K
        ma = k00 * (a * k00 + b * k10) + k10 * (b * k00 + c * k10)
        mb = k00 * (a * k01 + b * k11) + k10 * (b * k01 + c * k11)
        mc = k01 * (a * k01 + b * k11) + k11 * (b * k01 + c * k11)
    mapped = np.column_stack([u, v, ma, mb, mc])
    ok = (w > 0) & np.all(np.isfinite(mapped), axis=1) & (ma > 0) & (ma * mc - mb * mb > 0)
    mapped[~ok] = np.nan
    return mapped, ok


def is_invertible_homography(H):
    """Whether H is a 3 x 3 matrix of finite numbers whose determinant, with H scaled to a largest entry of 1, is
    above 1e-12: a matrix of zeros, or one of rank 2 or less, is not (whatever the scale of its numbers)."""
    H = np.asarray(H, dtype=np.float64)
    if H.shape != (3, 3) or not np.all(np.isfinite(H)):
        return False
    largest = np.abs(H).max()
    return bool(largest > 0 and abs(np.linalg.det(H / largest)) > 1e-12)


def half_extents(regions):
    """(N, 2) half-widths and half-heights of the regions' bounding boxes: sqrt of the diagonal of M^-1."""
    r = as_regions(regions)
    with np.errstate(divide="ignore", invalid="ignore"):
        d = _determinant(r)
        return np.sqrt(np.column_stack([r[:, 4] / d, r[:, 2] / d]))


def image_size(shape):
    """(height, width) of an image given by its numpy shape (height, width[, channels])."""
    try:
        h, w = int(shape[0]), int(shape[1])
    except (TypeError, IndexError, ValueError):
        raise ValueError(f"an image shape is (height, width[, channels]), not {shape!r}") from None
    if h <= 0 or w <= 0:
        raise ValueError(f"an image shape is (height, width[, channels]), not {shape!r}")
    return h, w


def inside_image(regions, shape):
    """Mask of the regions whose whole ellipse lies inside an image of the given numpy shape.

    The image covers [-0.5, width - 0.5] x [-0.5, height - 0.5] (pixel centres at integers); an ellipse touching
    or crossing that border is outside. Regions that are not proper ellipses (NaN, M not positive definite) are
    outside too.
    """
    r = as_regions(regions)
    h, w = image_size(shape)
    e = half_extents(r)
    with np.errstate(invalid="ignore"):
        ok = (r[:, 2] > 0) & (_determinant(r) > 0)
        ok &= (r[:, 0] - e[:, 0] > -0.5) & (r[:, 0] + e[:, 0] < w - 0.5)
        ok &= (r[:, 1] - e[:, 1] > -0.5) & (r[:, 1] + e[:, 1] < h - 0.5)
    return ok


def _cross(ax, ay, bx, by):
    return ax * by - ay * bx


def _lens_area(d, radius):
    """Area of the intersection of the unit disc and a disc of the given radius at distance d."""
    r = radius
    area = np.zeros_like(d)
    inside = d <= np.abs(r - 1.0)
    area[inside] = np.pi * np.minimum(r[inside], 1.0) ** 2
    part = ~inside & (d < 1.0 + r)
    dd, rr = d[part], r[part]
    a1 = np.clip((dd * dd + 1.0 - rr * rr) / (2.0 * dd), -1.0, 1.0)
    a2 = np.clip((dd * dd + rr * rr - 1.0) / (2.0 * dd * rr), -1.0, 1.0)
    k = (-dd + 1.0 + rr) * (dd + 1.0 - rr) * (dd - 1.0 + rr) * (dd + 1.0 + rr)
    area[part] = np.arccos(a1) + rr * rr * np.arccos(a2) - 0.5 * np.sqrt(np.maximum(k, 0.0))
    return area


def _arcs(angles, count):
    """Consecutive arcs between sorted angles (K, 4) of which the first ``count`` are valid.

    Returns (start, end, valid), each (K, 4); for count == 0 the single arc is the whole turn [0, 2 pi].
    """
    k = np.arange(4)
    nxt = np.concatenate([angles[:, 1:], angles[:, :1]], axis=1)
    wrap = (k[None, :] + 1 >= count[:, None])
    end = np.where(wrap, angles[:, :1] + 2.0 * np.pi, nxt)
    start = angles.copy()
    valid = k[None, :] < count[:, None]
    none = count == 0
    start[none, 0], end[none, 0], valid[none, 0] = 0.0, 2.0 * np.pi, True
    start = np.where(valid, start, 0.0)
    end = np.where(valid, end, 0.0)
    return start, end, valid


def _disc_ellipse_area(cx, cy, q11, q12, q22):
    """Area of the unit disc intersected with each ellipse {p : (p - c)' Q (p - c) <= 1}; 1-D arrays."""
    n = cx.size
    area = np.zeros(n)
    det = q11 * q22 - q12 * q12
    half_trace = 0.5 * (q11 + q22)
    aniso = np.hypot(0.5 * (q11 - q22), q12) / half_trace
    circle = aniso < _CIRCLE_ANISOTROPY
    if np.any(circle):
        area[circle] = _lens_area(np.hypot(cx[circle], cy[circle]), det[circle] ** -0.25)
    g = ~circle
    if not np.any(g):
        return area
    cx, cy, q11, q12, q22, det = cx[g], cy[g], q11[g], q12[g], q22[g], det[g]
    qcx, qcy = q11 * cx + q12 * cy, q12 * cx + q22 * cy
    # f(t) = k0 + k1c cos t + k1s sin t + k2c cos 2t + k2s sin 2t
    k0 = 0.5 * (q11 + q22) + cx * qcx + cy * qcy - 1.0
    k1c, k1s = -2.0 * qcx, -2.0 * qcy
    k2c, k2s = 0.5 * (q11 - q22), q12
    # z^2 f as a polynomial in z = exp(i t), highest degree first: p4 z^4 + p3 z^3 + p2 z^2 + p1 z + p0
    p4 = 0.5 * (k2c - 1j * k2s)
    p3 = 0.5 * (k1c - 1j * k1s)
    m = len(cx)
    comp = np.zeros((m, 4, 4), dtype=np.complex128)
    comp[:, 0, 0] = -p3 / p4
    comp[:, 0, 1] = -k0 / p4
    comp[:, 0, 2] = -np.conj(p3) / p4
    comp[:, 0, 3] = -np.conj(p4) / p4
    comp[:, 1, 0] = comp[:, 2, 1] = comp[:, 3, 2] = 1.0
    roots = np.linalg.eigvals(comp)
    on = np.abs(np.log(np.abs(roots))) < _ON_CIRCLE
    t = np.angle(roots)
    # Newton steps on the real f(t) polish the roots; steps at (near) double roots, where f' vanishes, are
    # skipped or stay tiny, and a root that would move far is left as the eigenvalues gave it.
    kk = [a[:, None] for a in (k0, k1c, k1s, k2c, k2s)]
    for _ in range(2):
        c1, s1, c2, s2 = np.cos(t), np.sin(t), np.cos(2.0 * t), np.sin(2.0 * t)
        f = kk[0] + kk[1] * c1 + kk[2] * s1 + kk[3] * c2 + kk[4] * s2
        df = -kk[1] * s1 + kk[2] * c1 - 2.0 * kk[3] * s2 + 2.0 * kk[4] * c2
        with np.errstate(divide="ignore", invalid="ignore"):
            step = f / df
        t = np.where(np.abs(step) < 1e-3, t - step, t)
    t = np.where(on, t, np.inf)
    t.sort(axis=1)
    count = on.sum(axis=1)

    # Arcs of the circle lying inside E: contribution 1/2 of the angle swept.
    t0, t1, valid = _arcs(t, count)
    tm = 0.5 * (t0 + t1)
    dx, dy = np.cos(tm) - cx[:, None], np.sin(tm) - cy[:, None]
    f = q11[:, None] * dx * dx + 2.0 * q12[:, None] * dx * dy + q22[:, None] * dy * dy - 1.0
    circle_part = 0.5 * np.sum(np.where(valid & (f <= 0.0), t1 - t0, 0.0), axis=1)

    # E = c + L u, L lower triangular with L L' = Q^-1 (det L = det(Q)^-1/2 > 0).
    inv11, inv12, inv22 = q22 / det, -q12 / det, q11 / det
    l11 = np.sqrt(inv11)
    l21 = inv12 / l11
    l22 = np.sqrt(np.maximum(inv22 - l21 * l21, 0.0))
    detl = l11 * l22
    # The same crossings, as parameters s of E: u(s) = L^-1 (p(t) - c).
    tf = np.where(np.isfinite(t), t, 0.0)
    px, py = np.cos(tf) - cx[:, None], np.sin(tf) - cy[:, None]
    ux = px / l11[:, None]
    uy = (py - l21[:, None] * ux) / l22[:, None]
    s = np.where(np.isfinite(t), np.arctan2(uy, ux), np.inf)
    s.sort(axis=1)
    s0, s1, valid = _arcs(s, count)
    sm = 0.5 * (s0 + s1)
    ex = cx[:, None] + l11[:, None] * np.cos(sm)
    ey = cy[:, None] + l21[:, None] * np.cos(sm) + l22[:, None] * np.sin(sm)
    keep = valid & (ex * ex + ey * ey <= 1.0)
    dux, duy = np.cos(s1) - np.cos(s0), np.sin(s1) - np.sin(s0)
    lx, ly = l11[:, None] * dux, l21[:, None] * dux + l22[:, None] * duy
    piece = detl[:, None] * (s1 - s0) + _cross(cx[:, None], cy[:, None], lx, ly)
    ellipse_part = 0.5 * np.sum(np.where(keep, piece, 0.0), axis=1)
    area[g] = np.clip(circle_part + ellipse_part, 0.0, np.minimum(np.pi, np.pi * detl))
    return area


def _segment(h):
    """Area of the part of the unit disc beyond a line at signed distance h from its centre."""
    h = np.clip(h, -1.0, 1.0)
    return np.arccos(h) - h * np.sqrt(1.0 - h * h)


def ellipse_overlap_error(regions_a, regions_b, normalise=None, max_error=1.0):
    """Overlap errors 1 - |A n B| / |A u B| of the pairs (regions_a[k], regions_b[k]), exact (see the module).

    With ``normalise`` (a radius, e.g. 30), both ellipses of a pair are first scaled about their own centres by
    the factor that gives A the radius sqrt(area / pi) = normalise; the distance between the centres is kept.
    With ``max_error`` below 1, pairs whose error a quick upper bound of the intersection (circular segments
    cut by the line across the centres) shows to be at least max_error are not computed and given as 1.
    Returns a float array of length K; pairs that are not both proper ellipses give NaN.
    """
    a, b = as_regions(regions_a), as_regions(regions_b)
    if a.shape != b.shape:
        raise ValueError("regions_a and regions_b must hold as many regions")
    if a.shape[0] == 0:
        return np.zeros(0)
    # Upper Cholesky factor U of M_a (M_a = U'U): x -> U (x - centre_a) maps A onto the unit disc.
    with np.errstate(invalid="ignore", divide="ignore"):
        u11 = np.sqrt(a[:, 2])
        u12 = a[:, 3] / u11
        u22 = np.sqrt(a[:, 4] - u12 * u12)
        dx, dy = b[:, 0] - a[:, 0], b[:, 1] - a[:, 1]
        if normalise is not None:
            radius_a = _determinant(a) ** -0.25
            k = radius_a / float(normalise)
            dx, dy = dx * k, dy * k
        cx, cy = u11 * dx + u12 * dy, u22 * dy
        # Q = U^-T M_b U^-1, U^-1 = [[1/u11, -u12/(u11 u22)], [0, 1/u22]]
        v11, v12, v22 = 1.0 / u11, -u12 / (u11 * u22), 1.0 / u22
        ba, bb, bc = b[:, 2], b[:, 3], b[:, 4]
        q11 = v11 * v11 * ba
        q12 = v11 * (ba * v12 + bb * v22)
        q22 = v12 * (ba * v12 + bb * v22) + v22 * (bb * v12 + bc * v22)
        area_b = 1.0 / np.sqrt(q11 * q22 - q12 * q12)  # in units of pi; A has area 1 (pi)
    good = np.isfinite(cx + cy + q11 + q12 + q22) & (q11 > 0) & (q11 * q22 - q12 * q12 > 0)
    good &= (a[:, 2] > 0) & (_determinant(a) > 0)
    err = np.full(a.shape[0], np.nan)
    if max_error < 1.0 and np.any(good):
        # E lies in the half-plane beyond the line, across the centre line, at its extent w along it; the disc
        # in the half-plane before the line at distance 1. Circular segments bound the intersection from above.
        with np.errstate(invalid="ignore", divide="ignore"):
            dist = np.hypot(cx, cy)
            nx, ny = np.where(dist > 0, cx / dist, 1.0), np.where(dist > 0, cy / dist, 0.0)
            det_q = q11 * q22 - q12 * q12
            w = np.sqrt((q22 * nx * nx - 2 * q12 * nx * ny + q11 * ny * ny) / det_q)
            bound = np.minimum(_segment(dist - w), area_b * _segment((dist - 1.0) / w)) / np.pi
            least = 1.0 - bound / (1.0 + area_b - bound)
        far = good & (least >= max_error)
        err[far] = 1.0
        good &= ~far
    if np.any(good):
        inter = _disc_ellipse_area(cx[good], cy[good], q11[good], q12[good], q22[good]) / np.pi
        union = 1.0 + area_b[good] - inter
        err[good] = 1.0 - inter / union
    return err
