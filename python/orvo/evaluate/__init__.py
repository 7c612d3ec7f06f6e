"""Evaluation of affine-region detectors under known homographies.

The classic measures: repeatability and correspondences from the overlap of regions mapped between two images of
a planar scene, and the matching score of their descriptors. Regions are (N, 5) arrays of rows ``x y a b c``:
centre in 0-based pixel coordinates (x the column, pixel (0, 0)'s centre at (0, 0)) and the ellipse
(p - centre)' [[a, b], [b, c]] (p - centre) <= 1, as ``orvo.detect`` returns them.

Measures
    :func:`overlap_errors`, :func:`repeatability`, :func:`chance_repeatability`, :func:`matching_score`,
    :func:`one_to_one`, :func:`greedy_pairs`, :func:`visible_regions` (protocol); :func:`map_regions`,
    :func:`ellipse_overlap_error`, :func:`inside_image` (geometry).
Matching accuracy
    :func:`evaluate_homographies`, :func:`corner_error` (homography); :func:`evaluate_poses`,
    :func:`read_cameras`, :func:`relative_pose`, :func:`estimate_pose`, :func:`pose_error`, :func:`pose_auc`
    (poses); :func:`image_features`, :func:`mutual_ratio_matches` (matching).
Sequences
    :func:`read_sequence`, :func:`load_homography`, :func:`write_homography`, :func:`make_sequence`.
Running
    :func:`evaluate_sequence` (rows per detector and pair), :func:`parse_detector`, :func:`describe_regions`;
    reports with :func:`format_table`, :func:`write_csv`, :func:`write_json`, :func:`plot_results`.
    The command ``python3 -m orvo.evaluate --help`` does all of it.

Only the detectors ``orvo`` and ``file:`` and the descriptors need the compiled ``orvo`` module; the geometry
and the measures need numpy alone (OpenCV for images, matplotlib for plots).
"""

from .detectors import Detector, DetectorError, parse_detector
from .evaluation import describe_regions, evaluate_sequence
from .geometry import ellipse_overlap_error, inside_image, map_regions
from .homography import corner_error, evaluate_homographies
from .matching import image_features, mutual_ratio_matches
from .poses import estimate_pose, evaluate_poses, pose_auc, pose_error, read_cameras, relative_pose
from .protocol import (MatchingScore, Overlaps, Repeatability, chance_repeatability, greedy_pairs, matching_score,
                       one_to_one, overlap_errors, repeatability, visible_regions)
from .report import format_table, plot_results, write_csv, write_json
from .sequence import Sequence, SequenceError, load_homography, make_sequence, read_sequence, write_homography

__all__ = [
    "overlap_errors",
    "repeatability",
    "matching_score",
    "one_to_one",
    "greedy_pairs",
    "chance_repeatability",
    "evaluate_homographies",
    "corner_error",
    "evaluate_poses",
    "read_cameras",
    "relative_pose",
    "estimate_pose",
    "pose_error",
    "pose_auc",
    "image_features",
    "mutual_ratio_matches",
    "visible_regions",
    "map_regions",
    "ellipse_overlap_error",
    "inside_image",
    "Overlaps",
    "Repeatability",
    "MatchingScore",
    "read_sequence",
    "load_homography",
    "write_homography",
    "make_sequence",
    "Sequence",
    "SequenceError",
    "evaluate_sequence",
    "describe_regions",
    "parse_detector",
    "Detector",
    "DetectorError",
    "format_table",
    "write_csv",
    "write_json",
    "plot_results",
]
