"""Verified correspondences between two images: descriptor matches checked by a two-view model estimated from the
regions' affine frames.

    result = orvo.match("view1.png", "view2.png")                 # a homography by default
    print(result)                                                  # counts and times
    H = result.model                                               # 3 x 3, or None
    points1 = result.points1[result.inliers]                       # inlier points in image 1
    points2 = result.points2[result.inliers]                       # and in image 2, refined
    cv2.imwrite("matches.png", orvo.draw_matches(image1, image2, result))

Mutual nearest neighbours that pass the ratio test become tentative matches. Each carries the affine map between
its two regions' oriented frames (the ellipse turned by the descriptor's dominant orientation), so two matches fix a
homography and three a fundamental or essential matrix; the robust estimator samples those, checks each hypothesis
on the points and on the affine maps, refines the best on its inliers and fits the final model to all of them.
Then each inlier is refined on the images (``refine=True``, the default): the second region's patch is aligned onto
the first's (an affine map of the intensities with a gain and a bias, started from the map between the frames), and
the model is fitted again to the refined points.
"""

import types

import numpy as np

from . import _orvo
from .conversions import check_regions
from .core import _image, detector_settings

__all__ = ["MatchResult", "match", "match_features", "refine_points", "draw_matches", "MODELS", "MATCH_OPTIONS"]

#: The models ``model=`` accepts.
MODELS = ("homography", "fundamental", "essential")
#: The matcher's own options and their defaults (the fields of the C++ orvo::MatchOptions), read only.
MATCH_OPTIONS = types.MappingProxyType(dict(_orvo.match_defaults()))


class MatchResult:
    """The matches of two images and the model that verifies them.

    model: float64 (3, 3) mapping image 1 to image 2 (homography H with p2 ~ H p1, scaled to H[2, 2] = 1 as
        cv2.findHomography gives it; fundamental F with p2' F p1 = 0 and essential E with
        (K2^-1 p2)' E (K1^-1 p1) = 0, unit norm); None when the matches support none.
    model_type: "homography", "fundamental" or "essential".
    inliers: bool (M,) over the M tentative matches.
    index1, index2: int64 (M,): each tentative match's region in the regions of image 1 and of image 2.
    regions1, regions2: float64 (M, 5): those regions (rows ``x y a b c``).
    distances: float64 (M,): the Euclidean distance of each match's two descriptors; ratios: float64 (M,) its ratio
        to the distance from the first descriptor to its second nearest in image 2 (0 when there is none).
    points1, points2: float64 (M, 2): each match's point in image 1 (its region's centre) and in image 2 (its
        region's centre, or where the patches align for a refined inlier).
    affines: float64 (M, 2, 2): each match's affine map from image 1 to image 2 near points1 (from the regions'
        oriented frames, or the patches' alignment).
    refined: bool (M,): the inliers whose patches were aligned.
    errors: float64 (M,): each match's point error under the model, pixels (transfer error for a homography,
        Sampson's distance for the epipolar models; inf without a model).
    counts: dict regions1, regions2, tentative, inliers, hypotheses (minimal samples drawn).
    times: dict of milliseconds: detect, describe (0 for :func:`match_features`), match, verify, refine.
    """

    _FIELDS = ("model", "inliers", "index1", "index2", "regions1", "regions2", "distances", "ratios", "points1",
               "points2", "affines", "refined", "errors", "counts", "times")
    __slots__ = _FIELDS + ("model_type",)

    def __init__(self, fields, model_type):
        for name in self._FIELDS:
            setattr(self, name, fields[name])
        self.model_type = model_type

    def __repr__(self):
        n, t = self.counts, self.times
        found = self.model_type if self.model is not None else f"no {self.model_type}"
        return (f"<MatchResult {found}: {n['inliers']} inliers of {n['tentative']} tentative matches "
                f"({n['regions1']} and {n['regions2']} regions, {n['hypotheses']} hypotheses); "
                f"detect {t['detect']:.0f} ms, describe {t['describe']:.0f} ms, match {t['match']:.0f} ms, "
                f"verify {t['verify']:.0f} ms, refine {t['refine']:.0f} ms>")


def _matrix(K, name):
    if K is None:
        return None
    array = np.asarray(K, dtype=np.float64)
    if array.shape != (3, 3):
        raise ValueError(f"{name} must be a 3 x 3 intrinsic matrix, not of shape {array.shape}")
    return array


def _descriptors(descriptors, count, name):
    array = np.asarray(descriptors)
    if array.dtype != np.uint8:
        array = array.astype(np.float32)
    if array.ndim != 2 or array.shape[0] != count:
        raise ValueError(f"{name} must be an array of {count} rows (one per region), not of shape {array.shape}")
    return np.ascontiguousarray(array)


def _orientations(orientations, count, name):
    array = np.ascontiguousarray(orientations, dtype=np.float32)
    if array.shape != (count,):
        raise ValueError(f"{name} must hold {count} angles (one per region), not of shape {array.shape}")
    return array


def _essential_intrinsics(options, K1):
    if options.get("model") == "essential" and K1 is None:
        raise ValueError("the essential matrix needs the intrinsics K1 (and K2 when the cameras differ)")


def match_features(regions1, descriptors1, orientations1, regions2, descriptors2, orientations2, *, K1=None,
                   K2=None, threads=1, image1=None, image2=None, **options):
    """Matches and verifies features already described: a :class:`MatchResult`.

    regions1, regions2: (N, 5) rows ``x y a b c``; descriptors1, descriptors2: (N, D) uint8 or float, one row per
    region; orientations1, orientations2: (N,) each region's dominant orientation in radians, image axes, as
    ``orvo.describe_oriented(image, regions)`` gives them.
    options: the matcher's options (:data:`MATCH_OPTIONS`): ``ratio`` (0.8: a match is kept when its descriptor
    distance is below ratio times the distance to the second nearest), ``model`` ("homography", "fundamental" or
    "essential", then K1, and K2 when the second camera differs: 3 x 3 intrinsic matrices), ``ransac_threshold``
    (6: largest point error of an inlier, pixels: transfer error for a homography, Sampson's distance for the
    epipolar models), ``affine_threshold`` (0.5: largest relative error of an inlier's affine map against the one
    the model implies), ``confidence`` and ``max_iterations`` (when the sampling stops), ``refine`` (True: with both
    images given, the inliers are refined on them and the model fitted again, as :func:`match` does). threads: of
    the descriptor matching. image1, image2: the images the features come from (arrays or paths, as for
    :func:`orvo.detect`).
    Raises TypeError for an unknown option or a value of the wrong type, ValueError for a bad value or arrays that
    do not agree.
    """
    _essential_intrinsics(options, K1)
    _orvo.check_match_options(options, "match_features")
    images = [None if image is None else _image(image, "match_features") for image in (image1, image2)]
    regions1, regions2 = check_regions(regions1, "match_features"), check_regions(regions2, "match_features")
    fields = _orvo.match_features(
        regions1, _descriptors(descriptors1, len(regions1), "descriptors1"),
        _orientations(orientations1, len(regions1), "orientations1"),
        regions2, _descriptors(descriptors2, len(regions2), "descriptors2"),
        _orientations(orientations2, len(regions2), "orientations2"), options, _matrix(K1, "K1"), _matrix(K2, "K2"),
        threads, *images)
    return MatchResult(fields, options.get("model", MATCH_OPTIONS["model"]))


def match(image1, image2, *, dense=True, K1=None, K2=None, **options):
    """Detects, describes, matches and verifies two images: a :class:`MatchResult`.

    image1, image2: arrays or paths, as for :func:`orvo.detect`. dense: the dense preset (default) or the classic
    settings. options: the matcher's options (:data:`MATCH_OPTIONS`, as for :func:`match_features`) and the
    detector's (:func:`orvo.detect`'s: ``threshold``, ``edge_step``, ..., ``threads`` for every stage, and
    ``measurement_scale``, the factor by which each region is grown before it is described, the preset's own by
    default), ``refine`` (True: the inliers refined on the images and the model fitted again, see the module).
    Each name has one meaning: ``threshold`` is the detector's selection threshold, ``ransac_threshold``
    the largest point error of an inlier.
    """
    matcher = {name: value for name, value in options.items() if name in MATCH_OPTIONS}
    detector = {name: value for name, value in options.items() if name not in MATCH_OPTIONS}
    _essential_intrinsics(matcher, K1)
    _orvo.check_match_options(matcher, "match")
    settings = detector_settings(detector.pop("threshold", None), detector.pop("scale", 1.0), dense, detector,
                                 "match")
    fields = _orvo.match(_image(image1, "match"), _image(image2, "match"), settings, matcher, _matrix(K1, "K1"),
                         _matrix(K2, "K2"))
    return MatchResult(fields, matcher.get("model", MATCH_OPTIONS["model"]))


def refine_points(image1, image2, regions1, regions2, orientations1, orientations2):
    """Where matched regions of image 2 align with their matches of image 1: (points2, refined).

    Row k of regions1 and regions2 (``x y a b c``) is a match, whatever matched them (cv2.BFMatcher, say);
    orientations1, orientations2 are the regions' dominant orientations as ``orvo.describe_oriented(image,
    regions)`` gives them (the measurement regions turn with them). Each second region's patch is aligned
    onto the first's, as :func:`match` refines its inliers, started from the affine map between the two oriented
    frames. points2: float64 (K, 2), the aligned point, or the region's centre where the alignment did not converge
    (refined, bool (K,), false), as for a wrong match. Images as for :func:`orvo.detect`.
    """
    regions1 = check_regions(regions1, "refine_points")
    regions2 = check_regions(regions2, "refine_points")
    if len(regions1) != len(regions2):
        raise ValueError(f"refine_points: {len(regions1)} regions in image 1 but {len(regions2)} in image 2")
    maps = _orvo.affine_maps(regions1, _orientations(orientations1, len(regions1), "orientations1"), regions2,
                             _orientations(orientations2, len(regions2), "orientations2"))
    aligned = _orvo.align_patches(_image(image1, "refine_points"), _image(image2, "refine_points"), regions1,
                                  np.ascontiguousarray(regions2[:, :2]), maps)
    refined = np.asarray(aligned["converged"], dtype=bool)
    return np.where(refined[:, None], aligned["points2"], regions2[:, :2]), refined


def draw_matches(image1, image2, result, outliers=False, *, inliers=None, colour_by_error=False):
    """Both images side by side (uint8 BGR, image 1 left) with the inliers' two ellipses and the lines joining
    their centres, each match in a colour of its own; the rejected matches too, thin and red, when ``outliers``.

    inliers: draw at most this many inliers, spread evenly over them (all by default).
    colour_by_error: colour each inlier by its error under the model (``result.errors``): green at 0 px, yellow,
        red at 4 px and beyond.
    """
    from .core import draw

    if inliers is not None and (isinstance(inliers, bool) or not isinstance(inliers, (int, np.integer))
                                or inliers < 1):
        raise ValueError(f"draw_matches: inliers must be a positive integer or None, not {inliers!r}")
    no_regions = np.empty((0, 5))
    pictures = [draw(image, no_regions) for image in (image1, image2)]  # BGR uint8 copies
    return _orvo.draw_matches(pictures[0], pictures[1], result.regions1, result.regions2,
                              np.asarray(result.inliers, dtype=bool), np.asarray(result.errors, dtype=np.float64),
                              bool(outliers), 0 if inliers is None else int(inliers), bool(colour_by_error))
