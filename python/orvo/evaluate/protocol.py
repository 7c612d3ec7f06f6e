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
  minimum, in percent;
* the chance level: the repeatability of the same regions under the homography followed by a shift of five
  normalised radii (150 pixels) left, right, up and down, averaged. No region can then overlap its own image, so
  what remains is the share of correspondences that regions of that size and density get by accident; the
  repeatability above chance is the difference.

Memory and time stay bounded whatever the numbers of regions: the overlap errors are computed only for the pairs
whose ellipses can overlap by more than the threshold (centres on a grid, searched within a radius bound from the
ellipses' sizes) and kept as a sparse list; descriptors are compared in blocks of rows.
"""

import heapq
from collections import namedtuple

import numpy as np

from .geometry import as_regions, ellipse_overlap_error, inside_image, is_invertible_homography, map_regions

__all__ = [
    "Overlaps",
    "Repeatability",
    "MatchingScore",
    "visible_regions",
    "overlap_errors",
    "one_to_one",
    "greedy_pairs",
    "repeatability",
    "chance_repeatability",
    "matching_score",
    "oriented_homography",
]

Overlaps = namedtuple("Overlaps", "pairs errors visible1 visible2")
Overlaps.__doc__ = """Overlap errors of two images' regions, as a sparse list.

pairs: (K, 2) indices (image 1, image 2) of the visible pairs whose overlap error is below ``max_error``, in
increasing order of image-1 then image-2 index; errors: their (K,) overlap errors. Every other pair is disjoint,
not visible, or known to be at least ``max_error`` apart. visible1, visible2: boolean masks."""

Repeatability = namedtuple("Repeatability", "repeatability correspondences visible1 visible2 pairs")
Repeatability.__doc__ = """Repeatability in percent (NaN when no region is visible in one image), the number of
correspondences, the numbers of visible regions, and the (K, 2) indices (image 1, image 2) of the correspondences."""

MatchingScore = namedtuple("MatchingScore", "matching_score matches visible1 visible2 pairs")
MatchingScore.__doc__ = """Matching score in percent (NaN when no region is visible in one image), the number of
correct matches, the numbers of visible regions, and the (K, 2) indices (image 1, image 2) of the correct
matches."""

# Pairs handled at once: candidate pairs from the grid, and pairs whose exact overlap is computed.
_CHUNK = 1 << 20
_PAIRS = 1 << 16
# Entries of a block of the descriptor distance matrix, and the nearest neighbours first kept per row.
_BLOCK = 1 << 21
_NEAREST = 16
# The chance level's shift, in normalised radii.
CHANCE_SHIFT = 5.0


def _homography(H):
    H = np.asarray(H, dtype=np.float64)
    if H.shape != (3, 3) or not np.all(np.isfinite(H)):
        raise ValueError("a homography is a 3 x 3 matrix of finite numbers")
    if not is_invertible_homography(H):
        raise ValueError("the homography is singular")
    return H


def oriented_homography(H, shape1):
    """H or -H (the same map), whichever sends the centre of image 1 in front of the camera (w > 0).

    map_regions takes w <= 0 as behind the camera; a homography file may hold either sign."""
    H = _homography(H)
    h, w = shape1[:2]
    return -H if H[2, 0] * (w - 1) / 2.0 + H[2, 1] * (h - 1) / 2.0 + H[2, 2] < 0 else H


def visible_regions(regions1, regions2, H, shape1, shape2):
    """Visibility masks and mapped regions of a pair of images.

    Returns ``(visible1, visible2, mapped1, mapped2)``: mapped1 are the image-1 regions mapped into image 2 by H,
    mapped2 the image-2 regions mapped into image 1 by H^-1 (local affine approximations); a region is visible
    when its ellipse lies inside its own image and its mapped ellipse inside the other (see
    :func:`orvo.evaluate.geometry.inside_image` for the image's extent). Shapes are numpy image shapes; H and -H
    give the same result.
    """
    r1, r2 = as_regions(regions1), as_regions(regions2)
    H = oriented_homography(H, shape1)
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


def _near_pairs(centres_a, reach, centres_b):
    """Chunks (i, j) of every pair with |centres_a[i] - centres_b[j]| < reach[i], found on a grid of columns.

    The b centres are sorted by column, then by y; each a looks up, in the columns its reach spans, the run of
    centres within its reach in y, so the work is about the number of pairs within reach.
    """
    if len(centres_a) == 0 or len(centres_b) == 0:
        return
    xb, yb = centres_b[:, 0], centres_b[:, 1]
    x0, y0 = min(xb.min(), centres_a[:, 0].min()), yb.min()
    width = max(xb.max(), centres_a[:, 0].max()) - x0
    cell = max(float(np.median(reach)), width / 4096.0, 1e-9)
    columns = int(width // cell) + 1
    height = yb.max() - y0 + 1.0
    col_b = np.minimum((xb - x0) // cell, columns - 1).astype(np.int64)
    order = np.lexsort((yb, col_b))
    key = col_b[order] * height + (yb[order] - y0)
    starts = np.searchsorted(col_b[order], np.arange(columns + 1))
    col_a = np.minimum((centres_a[:, 0] - x0) // cell, columns - 1).astype(np.int64)
    span = np.minimum(np.ceil(reach / cell), columns).astype(np.int64)
    for offset in range(-int(span.max()), int(span.max()) + 1):
        col = col_a + offset
        a = np.flatnonzero((np.abs(offset) <= span) & (col >= 0) & (col < columns))
        col = col[a]
        base = col * height - y0
        lo = np.maximum(np.searchsorted(key, base + centres_a[a, 1] - reach[a]), starts[col])
        hi = np.minimum(np.searchsorted(key, base + centres_a[a, 1] + reach[a], "right"), starts[col + 1])
        counts = np.maximum(hi - lo, 0)
        a, lo, counts = a[counts > 0], lo[counts > 0], counts[counts > 0]
        ends = np.cumsum(counts)
        first = 0
        while first < len(a):
            last = max(int(np.searchsorted(ends, ends[first] - counts[first] + _CHUNK, "right")), first + 1)
            n = counts[first:last]
            i = np.repeat(a[first:last], n)
            within = np.arange(int(n.sum())) - np.repeat(np.cumsum(n) - n, n)
            j = order[np.repeat(lo[first:last], n) + within]
            near = np.hypot(*(centres_a[i] - centres_b[j]).T) < reach[i]
            yield i[near], j[near]
            first = last


def _sparse_errors(ra, rb, normalise, max_error):
    """(i, j, error) of the pairs of ra x rb whose overlap error is below max_error."""
    found = ([], [], [])
    if len(ra) == 0 or len(rb) == 0:
        return tuple(np.zeros(0, dtype) for dtype in (np.intp, np.intp, np.float64))
    radius_a, reach_a = _radii(ra)
    radius_b, reach_b = _radii(rb)
    scale = float(normalise) / radius_a if normalise is not None else np.ones(len(ra))
    # The intersection is at most the smaller area and the union at least the larger: below max_error, the
    # radii differ by less than this factor; the reach of the b regions that can still pair with each a bounds
    # how far apart the (normalised) ellipses may be.
    factor = 1.0 / np.sqrt(1.0 - max_error) if max_error < 1.0 else np.inf
    by_radius = np.argsort(radius_b)
    reach_below = np.maximum.accumulate(reach_b[by_radius])
    largest = np.searchsorted(radius_b[by_radius], radius_a * factor, "right")
    reach_b_max = np.where(largest > 0, reach_below[np.maximum(largest - 1, 0)], 0.0)
    reach = scale * (reach_a + reach_b_max)
    for i, j in _near_pairs(ra[:, :2], reach, rb[:, :2]):
        dist = np.hypot(ra[i, 0] - rb[j, 0], ra[i, 1] - rb[j, 1])
        keep = dist < scale[i] * (reach_a[i] + reach_b[j])
        ratio = (np.minimum(radius_a[i], radius_b[j]) / np.maximum(radius_a[i], radius_b[j])) ** 2
        keep &= 1.0 - ratio < max_error
        i, j = i[keep], j[keep]
        for k in range(0, i.size, _PAIRS):
            ii, jj = i[k:k + _PAIRS], j[k:k + _PAIRS]
            err = ellipse_overlap_error(ra[ii], rb[jj], normalise, max_error)
            below = err < max_error
            for store, values in zip(found, (ii[below], jj[below], err[below])):
                store.append(values)
    return tuple(np.concatenate(v) if v else np.zeros(0, dtype) for v, dtype in
                 zip(found, (np.intp, np.intp, np.float64)))


def overlap_errors(regions1, regions2, H, shape1, shape2, *, normalise=30.0, max_error=1.0):
    """Overlap errors below ``max_error`` between the regions of two images related by the homography H.

    regions1, regions2: (N, 5) rows ``x y a b c`` in 0-based pixel coordinates of image 1 and image 2;
    H: 3 x 3 homography from image-1 to image-2 coordinates; shape1, shape2: the images' numpy shapes
    (height, width[, channels]), used for visibility. ``normalise``: the radius the image-1 region of each pair is
    scaled to (both regions about their own centres, the distance between the centres kept), or None to measure
    the regions as they are. Errors are exact (see :mod:`orvo.evaluate.geometry`: Green's theorem over the arcs
    between the ellipses' crossings, to about 1e-10). Only pairs of visible regions whose bounding circles meet,
    whose areas are close enough and whose circular segments cut by the line across the centres do not already
    bound the error from below by ``max_error`` are computed; with ``max_error`` 1 every intersecting pair is kept.

    Returns :class:`Overlaps` (pairs, errors, visible1, visible2), a sparse list: memory grows with the number of
    overlapping pairs, not with the product of the numbers of regions.
    """
    r1, r2 = as_regions(regions1), as_regions(regions2)
    visible1, visible2, _, mapped2 = visible_regions(r1, r2, H, shape1, shape2)
    i1, i2 = np.flatnonzero(visible1), np.flatnonzero(visible2)
    i, j, err = _sparse_errors(r1[i1], mapped2[i2], normalise, max_error)
    i, j = i1[i], i2[j]
    order = np.lexsort((j, i))
    return Overlaps(np.column_stack([i[order], j[order]]).reshape(-1, 2), err[order], visible1, visible2)


def greedy_pairs(rows, cols, costs):
    """Greedy one-to-one assignment of a sparse list of (row, col, cost) entries, by increasing cost.

    Repeatedly takes the cheapest remaining entry (ties: lowest row, then lowest column) whose row and column are
    both unused. Implemented in rounds: every entry that is the cheapest of both its row and its column among the
    unused ones is exactly the one the sequential rule would take, so each round takes all of them at once.
    Returns the (rows, cols) index arrays of the chosen pairs, ordered by row.
    """
    rows, cols, costs = (np.asarray(v).ravel() for v in (rows, cols, costs))
    order = np.lexsort((cols, rows, costs))
    rows, cols = rows[order].astype(np.intp), cols[order].astype(np.intp)
    taken_rows, taken_cols = [], []
    while rows.size:
        _, first_of_row = np.unique(rows, return_index=True)
        _, first_of_col = np.unique(cols, return_index=True)
        take = np.intersect1d(first_of_row, first_of_col)
        taken_rows.append(rows[take])
        taken_cols.append(cols[take])
        keep = ~np.isin(rows, rows[take]) & ~np.isin(cols, cols[take])
        rows, cols = rows[keep], cols[keep]
    if not taken_rows:
        return np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp)
    rows, cols = np.concatenate(taken_rows), np.concatenate(taken_cols)
    order = np.argsort(rows)
    return rows[order], cols[order]


def one_to_one(cost, max_cost=np.inf):
    """Greedy one-to-one assignment by increasing cost on a dense (N1, N2) matrix.

    Takes the cheapest remaining entry (ties: lowest row, then lowest column) whose row and column are both
    unused, among the finite entries below ``max_cost``, until none is left (see :func:`greedy_pairs`). Returns
    the (rows, cols) index arrays of the chosen pairs, ordered by row.
    """
    cost = np.asarray(cost, dtype=np.float64)
    if cost.ndim != 2:
        raise ValueError("cost must be a matrix")
    rows, cols = np.nonzero(np.isfinite(cost) & (cost < max_cost))
    return greedy_pairs(rows, cols, cost[rows, cols])


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
    below = overlaps.errors < threshold
    rows, cols = greedy_pairs(overlaps.pairs[below, 0], overlaps.pairs[below, 1], overlaps.errors[below])
    v1, v2 = int(overlaps.visible1.sum()), int(overlaps.visible2.sum())
    return Repeatability(_percent(len(rows), v1, v2), len(rows), v1, v2, np.column_stack([rows, cols]))


def chance_repeatability(regions1, regions2, H, shape1, shape2, *, threshold=0.4, normalise=30.0, shift=None):
    """The repeatability regions of these sizes and numbers reach by chance under the homography H.

    The mean of the repeatabilities under H followed by a shift of ``shift`` pixels in image 2 to the left, the
    right, up and down. By default the shift is five times ``normalise`` (150 pixels): an overlap error below 0.4
    needs centres closer than 0.4 normalised radii, so no region can be repeated by its own image and every
    correspondence left is an accident. With ``normalise`` None the default is five times the median radius of
    the image-1 regions (the radius of the circle of equal area). Shifts that leave no visible region are left
    out of the mean; NaN when all do.
    """
    r1 = as_regions(regions1)
    H = oriented_homography(H, shape1)
    if shift is None:
        if normalise is not None:
            shift = CHANCE_SHIFT * float(normalise)
        else:
            shift = CHANCE_SHIFT * float(np.median(_radii(r1)[0])) if len(r1) else 0.0
    values = []
    for dx, dy in ((shift, 0.0), (-shift, 0.0), (0.0, shift), (0.0, -shift)):
        moved = np.array([[1.0, 0.0, dx], [0.0, 1.0, dy], [0.0, 0.0, 1.0]]) @ H
        value = repeatability(r1, regions2, moved, shape1, shape2, threshold=threshold,
                              normalise=normalise).repeatability
        if not np.isnan(value):
            values.append(value)
    return float(np.mean(values)) if values else float("nan")


def _exact_floats(descriptors):
    """The descriptors as floats whose squared distances are exact: float32 for integers small enough that every
    product and sum stays below 2^24 (SIFT's bytes), float64 otherwise."""
    d = np.asarray(descriptors)
    small = d.size == 0 or (np.issubdtype(d.dtype, np.integer) and int(np.abs(d).max()) ** 2 * d.shape[1] < 1 << 23)
    return np.ascontiguousarray(d, dtype=np.float32 if small else np.float64)


def _nearest(a, b, bb, used, count):
    """For each row of a, its ``count`` nearest unused rows of b by squared L2 distance (bb: b's squared norms).

    Returns (squared distances, indices) of shape (len(a), count), sorted by distance, then index."""
    dist = (a * a).sum(1)[:, None] + bb[None, :] - 2.0 * (a @ b.T)
    dist[:, used] = np.inf
    part = np.argpartition(dist, count - 1, axis=1)[:, :count] if count < dist.shape[1] else \
        np.broadcast_to(np.arange(dist.shape[1]), dist.shape)
    near = np.take_along_axis(dist, part, axis=1)
    by = np.lexsort((part, near), axis=1)
    return np.take_along_axis(near, by, axis=1), np.take_along_axis(part, by, axis=1)


def _descriptor_pairs(d1, d2):
    """Greedy one-to-one matches of two descriptor sets by increasing L2 distance, without an N1 x N2 matrix.

    Each row's nearest columns go into a heap with a marker just before its last one's distance (ties included);
    when the marker of a row still unused comes up, every entry of that row below it has gone to a used column,
    so its nearest unused columns are pushed again, twice as many. The heap pops entries in the order of the
    full matrix sorted by (distance, row, column), as :func:`one_to_one` takes them.
    """
    n1, n2 = len(d1), len(d2)
    if n1 == 0 or n2 == 0:
        return np.zeros(0, dtype=np.intp), np.zeros(0, dtype=np.intp)
    bb = (d2 * d2).sum(1)
    used_row, used_col = np.zeros(n1, bool), np.zeros(n2, bool)
    count = np.full(n1, min(_NEAREST, n2))
    heap = []
    step = max(1, _BLOCK // n2)
    for start in range(0, n1, step):
        dist, idx = _nearest(d1[start:start + step], d2, bb, used_col, count[0])
        for i, (ds, js) in enumerate(zip(dist.tolist(), idx.tolist()), start=start):
            heap.extend(zip(ds, [i] * len(js), js))
            if len(js) < n2:
                heap.append((ds[-1], i, -1))  # the marker
    heapq.heapify(heap)
    rows, cols = [], []
    while heap:
        _, i, j = heapq.heappop(heap)
        if used_row[i]:
            continue
        if j < 0:
            count[i] = min(2 * count[i], n2 - len(rows))
            dist, idx = _nearest(d1[i:i + 1], d2, bb, used_col, count[i])
            for entry in zip(dist[0].tolist(), [i] * count[i], idx[0].tolist()):
                heapq.heappush(heap, entry)
            if count[i] < n2 - len(rows):
                heapq.heappush(heap, (float(dist[0, -1]), i, -1))
            continue
        if used_col[j]:
            continue
        used_row[i], used_col[j] = True, True
        rows.append(i)
        cols.append(j)
    rows, cols = np.array(rows, dtype=np.intp), np.array(cols, dtype=np.intp)
    order = np.argsort(rows)
    return rows[order], cols[order]


def matching_score(regions1, regions2, descriptors1, descriptors2, H, shape1, shape2, *, threshold=0.4,
                   normalise=30.0, overlaps=None):
    """Matching score of two images' described regions under the homography H.

    descriptors1, descriptors2: (N1, D) and (N2, D) descriptors of the regions, row for row; the other arguments
    as for :func:`repeatability`. Visible regions are matched one-to-one by increasing L2 distance of their
    descriptors (greedy, as :func:`one_to_one`, in blocks: the memory does not grow with N1 x N2); a match is
    correct when the pair's overlap error is below ``threshold``. The score is the number of correct matches over
    min(visible in 1, visible in 2), in percent. Returns :class:`MatchingScore`.
    """
    d1 = np.asarray(descriptors1)
    d2 = np.asarray(descriptors2)
    if d1.ndim != 2 or d2.ndim != 2 or d1.shape[1] != d2.shape[1]:
        raise ValueError("descriptors must be (N, D) matrices of the same length D")
    if len(d1) != len(as_regions(regions1)) or len(d2) != len(as_regions(regions2)):
        raise ValueError("there must be one descriptor per region")
    if overlaps is None:
        overlaps = overlap_errors(regions1, regions2, H, shape1, shape2, normalise=normalise, max_error=threshold)
    i1, i2 = np.flatnonzero(overlaps.visible1), np.flatnonzero(overlaps.visible2)
    rows, cols = _descriptor_pairs(_exact_floats(d1[i1]), _exact_floats(d2[i2]))
    rows, cols = i1[rows], i2[cols]
    n2 = max(len(d2), 1)
    below = overlaps.errors < threshold
    good = np.isin(rows * n2 + cols, overlaps.pairs[below, 0] * n2 + overlaps.pairs[below, 1])
    v1, v2 = len(i1), len(i2)
    pairs = np.column_stack([rows[good], cols[good]])
    return MatchingScore(_percent(int(good.sum()), v1, v2), int(good.sum()), v1, v2, pairs)
