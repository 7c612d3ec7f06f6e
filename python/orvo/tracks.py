"""Tracks of verified matches across images, their observations refined to agree.

A track is a set of regions (image, region index) joined by verified matches, pair after pair. Matched separately,
each pair would give a region its own position; refined as a track, every observation is aligned against one
reference observation (the one with the most matches), so that a region has one position for all its matches and
all of a track's positions show the same point of the scene. The alignment is the patch alignment of
:func:`orvo.match`'s refinement: the reference region's patch (its ellipse grown twice), the other image sampled
through an affine map started from the maps of the matches along the track, Gauss-Newton steps on the intensities
with a gain and a bias.

    positions, failed = orvo.tracks.refine_tracks({"a.png": image_a, "b.png": image_b, ...}, regions, matches)
    # positions["b.png"][i]: where region i of b.png is observed (its centre when no track refined it);
    # failed["b.png"][i]: whether it is in a track but could not be aligned with the track's reference
"""

import collections
import itertools

import numpy as np

from . import _orvo
from .conversions import check_regions
from .core import _image

__all__ = ["Match", "tracks", "refine_tracks", "complete_tracks", "consistent_matches", "sampson_distances"]

Match = collections.namedtuple("Match", "image1 image2 index1 index2 affines")
Match.__doc__ = """The verified matches of two images: their names, the (K,) indices of the matched regions in each
image, and (K, 2, 2) the affine maps from image 1 to image 2 near each first region's centre (as
``MatchResult.affines``)."""


def _edges(matches):
    """Each match as ((image1, index1), (image2, index2), affine map), maps checked."""
    for m in matches:
        index1, index2 = np.asarray(m.index1, dtype=np.int64), np.asarray(m.index2, dtype=np.int64)
        affines = np.asarray(m.affines, dtype=np.float64).reshape(-1, 2, 2)
        if not len(index1) == len(index2) == len(affines):
            raise ValueError(f"tracks: the matches of {m.image1!r} and {m.image2!r} give {len(index1)} and "
                             f"{len(index2)} indices and {len(affines)} affine maps")
        for i, j, L in zip(index1.tolist(), index2.tolist(), affines):
            yield (m.image1, i), (m.image2, j), L


def tracks(matches):
    """The tracks of the matches (an iterable of :class:`Match`, their affine maps not used): lists of observations
    (image, region index), each list joined by matches, observations in the order first met."""
    return _components(((m.image1, i), (m.image2, j)) for m in matches
                       for i, j in zip(np.asarray(m.index1).tolist(), np.asarray(m.index2).tolist()))


class _Forest:
    """Disjoint sets of observations, met as they come: root(node) is its set's representative."""

    def __init__(self):
        self.parent = {}

    def root(self, node):
        parent = self.parent
        parent.setdefault(node, node)
        while parent[node] != node:
            parent[node] = parent[parent[node]]
            node = parent[node]
        return node


def _components(pairs):
    """The connected components of the graph of the pairs of observations."""
    forest = _Forest()
    for a, b in pairs:
        ra, rb = forest.root(a), forest.root(b)
        if ra != rb:
            forest.parent[rb] = ra
    members = collections.defaultdict(list)
    for node in forest.parent:
        members[forest.root(node)].append(node)
    return list(members.values())


def _reference_maps(track, neighbours):
    """The reference observation of a track (the one with the most matches) and, for every other observation, the
    affine map from the reference's image to its image near the reference, composed along the matches."""
    reference = max(track, key=lambda node: len(neighbours[node]))
    maps = {reference: np.eye(2)}
    queue = collections.deque([reference])
    while queue:
        node = queue.popleft()
        for other, L in neighbours[node]:
            if other not in maps:
                maps[other] = L @ maps[node]
                queue.append(other)
    return reference, maps


def refine_tracks(images, regions, matches):
    """Positions of every region of every image, those in tracks refined against their track's reference.

    images: name -> image (an array or a path, as for :func:`orvo.detect`); regions: name -> (N, 5) regions
    ``x y a b c``; matches: an iterable of :class:`Match` between named images. Returns (positions, failed), each a
    dict by image name: positions float64 (N, 2), each region's position, its centre unless a track refined it (the
    reference keeps its own); failed bool (N,), the observations of a track whose alignment with the reference did
    not converge (they keep their centres: a wrong match, or a patch without texture). Raises ValueError for a match
    naming an image or region that is not given.
    """
    regions = {name: check_regions(r, "refine_tracks") for name, r in regions.items()}
    positions = {name: r[:, :2].copy() for name, r in regions.items()}
    failed = {name: np.zeros(len(r), dtype=bool) for name, r in regions.items()}
    edges = list(_edges(matches))
    neighbours = collections.defaultdict(list)
    for a, b, L in edges:
        for (name, index) in (a, b):
            if name not in regions or not 0 <= index < len(regions[name]):
                raise ValueError(f"refine_tracks: the matches name region {index} of {name!r}, which is not given")
        neighbours[a].append((b, L))
        neighbours[b].append((a, np.linalg.inv(L)))

    # The alignments to make, grouped by the two images' names.
    work = collections.defaultdict(list)  # (reference image, image) -> [(reference index, index, map)]
    for track in _components((a, b) for a, b, _ in edges):
        reference, maps = _reference_maps(track, neighbours)
        for node, L in maps.items():
            if node != reference:
                work[reference[0], node[0]].append((reference[1], node[1], L))

    loaded = {}

    def image(name):
        if name not in loaded:
            loaded[name] = _image(images[name], "refine_tracks")
        return loaded[name]

    for (name1, name2), items in work.items():
        index1 = np.array([i for i, _, _ in items])
        index2 = np.array([j for _, j, _ in items])
        aligned = _orvo.align_patches(image(name1), image(name2), regions[name1][index1],
                                      np.ascontiguousarray(regions[name2][index2, :2]),
                                      np.ascontiguousarray([L for _, _, L in items], dtype=np.float64))
        done = np.asarray(aligned["converged"], dtype=bool)
        positions[name2][index2[done]] = np.asarray(aligned["points2"])[done]
        failed[name2][index2[~done]] = True
    return positions, failed


def complete_tracks(matches, positions, models, threshold=1.0):
    """The matches that the tracks imply but no pair found: for each track with at most one observation per image,
    every two of its observations in images whose pair has a fundamental matrix, not matched yet, whose positions
    agree with it (Sampson's distance at most ``threshold`` pixels). Matched pair by pair, an observation joins only
    the images it was matched with; completed, it joins every image of its track, so that a reconstruction sees the
    point in all of them at once.

    matches: an iterable of :class:`Match` (their affine maps are not used); positions: image name -> (N, 2) each
    region's position (as :func:`refine_tracks` gives them); models: (image1, image2) -> F with p2' F p1 = 0 for
    the pairs verified with one, each pair in the orientation of its matches. Returns a dict (image1, image2) ->
    (index1, index2), int64 arrays of the new matches of each pair of ``models`` that has some, its images in the
    order of its key. Tracks with two
    observations in one image are left as they are: which of them another image sees is not known.
    """
    matches = list(matches)
    found = collections.defaultdict(set)
    for m in matches:
        found[m.image1, m.image2].update(zip(np.asarray(m.index1).tolist(), np.asarray(m.index2).tolist()))
    candidates = collections.defaultdict(list)
    for track in tracks(matches):
        observed = dict(track)
        if len(observed) < len(track):
            continue
        for name1, name2 in itertools.permutations(observed, 2):
            pair = (observed[name1], observed[name2])
            if (name1, name2) in models and pair not in found[name1, name2]:
                candidates[name1, name2].append(pair)
    added = {}
    for (name1, name2), pairs in candidates.items():
        index1, index2 = np.array(pairs, dtype=np.int64).T
        distances = sampson_distances(models[name1, name2], positions[name1][index1], positions[name2][index2])
        kept = distances <= threshold
        if kept.any():
            added[name1, name2] = index1[kept], index2[kept]
    return added


def sampson_distances(F, points1, points2):
    """Sampson's distance, pixels, of each correspondence (points1[k], points2[k]) from p2' F p1 = 0."""
    x1 = np.column_stack([points1, np.ones(len(points1))])
    x2 = np.column_stack([points2, np.ones(len(points2))])
    Fx1, Ftx2 = x1 @ np.asarray(F).T, x2 @ np.asarray(F)
    algebraic = np.sum(x2 * Fx1, axis=1)
    return np.abs(algebraic) / np.sqrt(Fx1[:, 0] ** 2 + Fx1[:, 1] ** 2 + Ftx2[:, 0] ** 2 + Ftx2[:, 1] ** 2)


def consistent_matches(matches, costs):
    """Which matches to keep so that no track holds two observations of one image: a list of bool arrays, one per
    :class:`Match` of ``matches``, over its matches.

    A track that reaches an image twice has a wrong match in it (or two regions of one place), and a reconstruction
    that meets it keeps one of its observations per image and loses the others' matches with it. Here each track
    is built again from its matches, the likeliest first (``costs``: per Match an array over its matches, the
    lower kept first: descriptor distances, or errors under the pair's model), a match joining two parts only when
    they see no image in common: the wrong matches are left out and the track splits where they joined it. Matches
    of consistent tracks are all kept.
    """
    matches = list(matches)
    edges = [(float(d), m, k, (match.image1, int(i)), (match.image2, int(j)))
             for m, (match, cost) in enumerate(zip(matches, costs))
             for k, (i, j, d) in enumerate(zip(np.asarray(match.index1).tolist(), np.asarray(match.index2).tolist(),
                                              np.asarray(cost).tolist()))]
    edges.sort(key=lambda edge: edge[:3])
    forest, images = _Forest(), {}  # root -> the images its set sees

    kept = [np.zeros(len(np.asarray(match.index1)), dtype=bool) for match in matches]
    for _, m, k, a, b in edges:
        ra, rb = forest.root(a), forest.root(b)
        seen_a, seen_b = images.setdefault(ra, {ra[0]}), images.setdefault(rb, {rb[0]})
        if ra == rb:
            kept[m][k] = True
        elif not seen_a & seen_b:
            forest.parent[rb] = ra
            seen_a |= images.pop(rb)
            kept[m][k] = True
    return kept
