"""The measures of affine-region detectors under a known homography: repeatability and matching score.

For an image pair related by a homography H (image-1 pixel coordinates to image-2 ones, both 0-based):

* every region of image 1 is mapped to image 2, and every region of image 2 back to image 1, by the local affine
  approximation of H (or H^-1) at its centre;
* a region is *visible* when its ellipse lies inside its own image and its mapped ellipse inside the other one;
* the overlap error of a visible pair is measured in image 1, between the image-1 region and the image-2 region
  mapped back, after scaling both about their own centres so that the image-1 region has radius
  sqrt(area / pi) = 30 (the distance between the centres is not scaled);
* correspondences are one-to-one: pairs are taken greedily by increasing overlap error, each region at most once,
  while the error is below 0.4; repeatability = correspondences / min(visible in 1, visible in 2), in percent;
* matching score: visible regions are matched one-to-one by the same greedy rule on the L2 distance of their
  descriptors (so every match is the nearest neighbour among the regions not matched yet, and a pair of mutual
  nearest neighbours is always a match); the matches whose overlap error is below 0.4 count, over the same
  minimum, in percent.
"""

from collections import namedtuple

import numpy as np

from .geometry import as_regions, ellipse_overlap_error, inside_image, map_regions

__all__ = [
    "Overlaps",
    "Repeatability",
    "MatchingScore",
    "visible_regions",
    "overlap_errors",
    "one_to_one",
    "repeatability",
    "matching_score",
]

Overlaps = namedtuple("Overlaps", "errors visible1 visible2")
Overlaps.__doc__ = """Overlap errors of two images' regions.

errors: (N1, N2) overlap errors; NaN where either region is not visible, 1.0 where the pair is disjoint or its
error is known to be at least ``max_error`` without computing it. visible1, visible2: boolean masks."""

Repeatability = namedtuple("Repeatability", "repeatability correspondences visible1 visible2 pairs")
Repeatability.__doc__ = """Repeatability in percent (NaN when no region is visible in one image), the number of
correspondences, the numbers of visible regions, and the (K, 2) indices (image 1, image 2) of the correspondences."""

MatchingScore = namedtuple("MatchingScore", "matching_score matches visible1 visible2 pairs")
MatchingScore.__doc__ = """Matching score in percent (NaN when no region is visible in one image), the number of
correct matches, the numbers of visible regions, and the (K, 2) indices (image 1, image 2) of the correct
matches."""

# Pairs tested for pruning, and pairs whose exact overlap is computed, at once (bound the memory used).
_CHUNK = 1 << 20
_PAIRS = 1 << 16


def _homography(H):
    H = np.asarray(H, dtype=np.float64)
    if H.shape != (3, 3) or not np.all(np.isfinite(H)):
        raise ValueError("a homography is a 3 x 3 matrix of finite numbers")
    if abs(np.linalg.det(H)) < 1e-12 * np.abs(H).max() ** 3:
        raise ValueError("the homography is singular")
    return H


def visible_regions(regions1, regions2, H, shape1, shape2):
    """Visibility masks and mapped regions of a pair of images.

    Returns ``(visible1, visible2, mapped1, mapped2)``: mapped1 are the image-1 regions mapped into image 2 by H,
    mapped2 the image-2 regions mapped into image 1 by H^-1 (local affine approximations); a region is visible
    when its ellipse lies inside its own image and its mapped ellipse inside the other (see
    :func:`orvo.evaluate.geometry.inside_image` for the image's extent). Shapes are numpy image shapes.
    """
    r1, r2 = as_regions(regions1), as_regions(regions2)
    H = _homography(H)
    mapped1, ok1 = map_regions(r1, H)
    mapped2, ok2 = map_regions(r2, np.linalg.inv(H))
    visible1 = ok1 & inside_image(r1, shape1) & inside_image(mapped1, shape2)
    visible2 = ok2 & inside_image(r2, shape2) & inside_image(mapped2, shape1)
    return visible1, visible2, mapped1, mapped2


def _radii(r):
    """Radius of the circle of equal area and largest semi-axis of each region."""
    a, b, c = r[:, 2], r[:, 3], r[:, 4]
    small = 0.5 * (a + c) - np.hypot(0.5 * (a - c), b)
    return (a * c - b * b) ** -0.25, 1.0 / np.sqrt(small)


def _pairwise_errors(ra, rb, normalise, max_error):
    """(len(ra), len(rb)) overlap errors, computing exactly only the pairs that may be below max_error."""
    out = np.ones((len(ra), len(rb)))
    if out.size == 0:
        return out
    radius_a, reach_a = _radii(ra)
    radius_b, reach_b = _radii(rb)
    scale = float(normalise) / radius_a if normalise is not None else np.ones(len(ra))
    rows = max(1, _CHUNK // len(rb))
    for start in range(0, len(ra), rows):
        sl = slice(start, start + rows)
        s = scale[sl, None]
        dist = np.hypot(ra[sl, 0, None] - rb[None, :, 0], ra[sl, 1, None] - rb[None, :, 1])
        # Bounding circles (of the normalised ellipses) that do not meet: disjoint, error 1.
        maybe = dist < s * (reach_a[sl, None] + reach_b[None, :])
        # The intersection is at most the smaller area and the union at least the larger.
        ratio = (np.minimum(radius_a[sl, None], radius_b[None, :]) / np.maximum(radius_a[sl, None], radius_b)) ** 2
        maybe &= 1.0 - ratio < max_error
        i, j = np.nonzero(maybe)
        i += start
        for k in range(0, i.size, _PAIRS):
            ii, jj = i[k:k + _PAIRS], j[k:k + _PAIRS]
            out[ii, jj] = ellipse_overlap_error(ra[ii], rb[jj], normalise, max_error)
    return out


def overlap_errors(regions1, regions2, H, shape1, shape2, *, normalise=30.0, max_error=1.0):
    """Overlap errors between the regions of two images related by the homography H.

    regions1, regions2: (N, 5) rows ``x y a b c`` in 0-based pixel coordinates of image 1 and image 2;
    H: 3 x 3 homography from image-1 to image-2 coordinates; shape1, shape2: the images' numpy shapes
    (height, width[, channels]), used for visibility. ``normalise``: the radius the image-1 region of each pair is
    scaled to (both regions about their own centres, the distance between the centres kept), or None to measure
    the regions as they are. Errors are exact (see :mod:`orvo.evaluate.geometry`: Green's theorem over the arcs
    between the ellipses' crossings, to about 1e-10); pairs whose bounding circles do not meet, or for which the
    area ratio or the circular segments cut by the line across the centres already bound the error from below
    by ``max_error``, are not computed and reported as 1.

    Returns :class:`Overlaps` (errors, visible1, visible2); errors has NaN rows and columns for regions that
    are not visible.
    """
    r1, r2 = as_regions(regions1), as_regions(regions2)
    visible1, visible2, _, mapped2 = visible_regions(r1, r2, H, shape1, shape2)
    errors = np.full((len(r1), len(r2)), np.nan)
    i1, i2 = np.flatnonzero(visible1), np.flatnonzero(visible2)
    if i1.size and i2.size:
        errors[np.ix_(i1, i2)] = _pairwise_errors(r1[i1], mapped2[i2], normalise, max_error)
    return Overlaps(errors, visible1, visible2)


def one_to_one(cost, max_cost=np.inf):
    """Greedy one-to-one assignment by increasing cost.

    Repeatedly takes the cheapest remaining entry of the (N1, N2) matrix ``cost`` (ties: lowest row, then lowest
    column) whose row and column are both unused, among the finite entries below ``max_cost``. Returns the
    (rows, cols) index arrays of the chosen pairs, ordered by row.

    Implemented in rounds: every entry that is the cheapest of both its row and its column among the unused
    ones is exactly the one the sequential greedy rule would take, so each round takes all of them at once.
    """
    cost = np.asarray(cost, dtype=np.float64)
    if cost.ndim != 2:
        raise ValueError("cost must be a matrix")
    c = np.where(np.isfinite(cost) & (cost < max_cost), cost, np.inf)
    live = np.isfinite(c)
    row_ids, col_ids = np.flatnonzero(live.any(axis=1)), np.flatnonzero(live.any(axis=0))
    c = c[np.ix_(row_ids, col_ids)]
    rows, cols = [], []
    while c.size:
        best_col = np.argmin(c, axis=1)
        has = np.isfinite(c[np.arange(len(c)), best_col])
        best_row = np.argmin(c, axis=0)
        take = np.flatnonzero(has & (best_row[best_col] == np.arange(len(c))))
        if take.size == 0:
            break
        rows.append(row_ids[take])
        cols.append(col_ids[best_col[take]])
        keep_r = has.copy()
        keep_r[take] = False
        keep_c = np.ones(c.shape[1], dtype=bool)
        keep_c[best_col[take]] = False
        c = c[keep_r][:, keep_c]
        row_ids, col_ids = row_ids[keep_r], col_ids[keep_c]
    if not rows:
        return np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp)
    rows, cols = np.concatenate(rows), np.concatenate(cols)
    order = np.argsort(rows)
    return rows[order], cols[order]


def _percent(count, visible1, visible2):
    n = min(visible1, visible2)
    return 100.0 * count / n if n else float("nan")


def repeatability(regions1, regions2, H, shape1, shape2, *, threshold=0.4, normalise=30.0, overlaps=None):
    """Repeatability of two images' regions under the homography H (arguments as for :func:`overlap_errors`).

    Correspondences are one-to-one, greedy by increasing overlap error, below ``threshold``; repeatability is
    their number over min(visible regions in image 1, visible regions in image 2), in percent. ``overlaps``: the
    result of :func:`overlap_errors` for the same arguments, to reuse it (computed when None).
    Returns :class:`Repeatability`.
    """
    if overlaps is None:
        overlaps = overlap_errors(regions1, regions2, H, shape1, shape2, normalise=normalise, max_error=threshold)
    rows, cols = one_to_one(overlaps.errors, threshold)
    v1, v2 = int(overlaps.visible1.sum()), int(overlaps.visible2.sum())
    return Repeatability(_percent(len(rows), v1, v2), len(rows), v1, v2, np.column_stack([rows, cols]))


def matching_score(regions1, regions2, descriptors1, descriptors2, H, shape1, shape2, *, threshold=0.4,
                   normalise=30.0, overlaps=None):
    """Matching score of two images' described regions under the homography H.

    descriptors1, descriptors2: (N1, D) and (N2, D) descriptors of the regions, row for row; the other arguments
    as for :func:`repeatability`. Visible regions are matched one-to-one by increasing L2 distance of their
    descriptors (:func:`one_to_one`); a match is correct when the pair's overlap error is below ``threshold``.
    The score is the number of correct matches over min(visible in 1, visible in 2), in percent.
    Returns :class:`MatchingScore`.
    """
    d1 = np.asarray(descriptors1, dtype=np.float64)
    d2 = np.asarray(descriptors2, dtype=np.float64)
    if d1.ndim != 2 or d2.ndim != 2 or d1.shape[1] != d2.shape[1]:
        raise ValueError("descriptors must be (N, D) matrices of the same length D")
    if len(d1) != len(as_regions(regions1)) or len(d2) != len(as_regions(regions2)):
        raise ValueError("there must be one descriptor per region")
    if overlaps is None:
        overlaps = overlap_errors(regions1, regions2, H, shape1, shape2, normalise=normalise, max_error=threshold)
    i1, i2 = np.flatnonzero(overlaps.visible1), np.flatnonzero(overlaps.visible2)
    a, b = d1[i1], d2[i2]
    dist = np.sqrt(np.maximum((a * a).sum(1)[:, None] + (b * b).sum(1)[None, :] - 2.0 * a @ b.T, 0.0))
    rows, cols = one_to_one(dist)
    rows, cols = i1[rows], i2[cols]
    with np.errstate(invalid="ignore"):
        good = overlaps.errors[rows, cols] < threshold
    v1, v2 = len(i1), len(i2)
    pairs = np.column_stack([rows[good], cols[good]])
    return MatchingScore(_percent(int(good.sum()), v1, v2), int(good.sum()), v1, v2, pairs)
