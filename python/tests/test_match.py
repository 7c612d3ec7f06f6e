"""orvo.match and orvo.match_features on two views of a plane a known homography apart."""

import copy

import cv2
import numpy as np
import pytest

import orvo


def corner_error(model, truth, width=640, height=480):
    corners = np.array([[0, 0, 1], [width - 1, 0, 1], [width - 1, height - 1, 1], [0, height - 1, 1]], float).T
    a, b = truth @ corners, model @ corners
    return float(np.mean(np.linalg.norm(a[:2] / a[2] - b[:2] / b[2], axis=0)))


def test_match_finds_the_homography_and_agrees_with_match_features(scene_views):
    path1, path2, homography = scene_views
    result = orvo.match(path1, path2)
    assert result.model.shape == (3, 3) and corner_error(result.model, homography) < 3
    assert result.inliers.dtype == bool and result.inliers.sum() == result.counts["inliers"] >= 30
    assert result.index1.shape == result.index2.shape == result.inliers.shape
    assert "homography" in repr(result) and f"{result.counts['inliers']} inliers" in repr(result)
    assert all(result.times[step] > 0 for step in ("detect", "describe", "match", "refine"))
    assert result.model[2, 2] == 1.0  # scaled as cv2.findHomography scales it

    # The refined inliers lie where the homography takes their first points, closer than the regions' centres.
    def off(points):
        mapped = cv2.perspectiveTransform(result.points1[None, refined], homography)[0]
        return np.median(np.linalg.norm(points[refined] - mapped, axis=1))

    refined = result.refined
    assert refined.sum() > 0.8 * result.inliers.sum() and not (refined & ~result.inliers).any()
    np.testing.assert_array_equal(result.points1, result.regions1[:, :2])
    assert off(result.points2) < 0.5 * off(result.regions2[:, :2])
    assert result.affines.shape == (len(result.inliers), 2, 2) and np.all(result.errors[result.inliers] <= 6)
    plain = orvo.match(path1, path2, refine=False)
    assert not plain.refined.any() and plain.times["refine"] == 0
    np.testing.assert_array_equal(plain.points2, plain.regions2[:, :2])

    features = []
    for path in (path1, path2):
        regions = orvo.detect(path, dense=True)
        grown = orvo.scale_regions(regions, orvo.DENSE_OPTIONS["measurement_scale"])
        descriptors, orientations = orvo.describe_oriented(path, grown)
        assert orientations.shape == (len(regions),) and np.all((orientations >= 0) & (orientations < 2 * np.pi))
        features += [regions, descriptors, orientations]
    again = orvo.match_features(*features, image1=path1, image2=path2)
    np.testing.assert_array_equal(again.index1, result.index1)
    np.testing.assert_array_equal(again.inliers, result.inliers)
    np.testing.assert_array_equal(again.points2, result.points2)
    np.testing.assert_array_equal(again.regions2, features[3][again.index2])
    np.testing.assert_array_equal(orvo.match_features(*features).inliers, plain.inliers)

    images = cv2.imread(str(path1)), cv2.imread(str(path2))
    picture = orvo.draw_matches(*images, result, outliers=True)
    assert picture.shape == (480, 1280, 3) and picture.dtype == np.uint8
    # Five inliers coloured by their errors: fewer lines than all of them, green (errors well under 4 px).
    none = copy.copy(result)
    none.inliers = np.zeros_like(result.inliers)
    blank = orvo.draw_matches(*images, none)
    few = orvo.draw_matches(*images, result, inliers=5, colour_by_error=True)
    drawn = np.any(few != blank, axis=2)
    assert 0 < drawn.sum() < np.any(orvo.draw_matches(*images, result) != blank, axis=2).sum() / 10
    assert np.median(few[drawn][:, 1].astype(int) - few[drawn][:, 2]) > 50
    with pytest.raises(ValueError, match="inliers"):
        orvo.draw_matches(*images, result, inliers=0)


def test_bad_arguments():
    regions = np.array([[10.0, 10, 0.01, 0, 0.01]] * 3)
    descriptors = np.ones((3, 128), np.uint8)
    orientations = np.zeros(3)
    with pytest.raises(ValueError, match="model"):
        orvo.match_features(regions, descriptors, orientations, regions, descriptors, orientations, model="affine")
    with pytest.raises(ValueError, match="K1"):
        orvo.match_features(regions, descriptors, orientations, regions, descriptors, orientations, model="essential")
    with pytest.raises(ValueError, match="orientations2"):
        orvo.match_features(regions, descriptors, orientations, regions, descriptors, orientations[:2])
    with pytest.raises(ValueError, match="ratio"):
        orvo.match_features(regions, descriptors, orientations, regions, descriptors, orientations, ratio=1.5)


def test_refine_points_serves_matches_made_elsewhere(scene_views):
    path1, path2, homography = scene_views
    features = []
    for path in (path1, path2):
        regions = orvo.detect(path, dense=True)
        descriptors, orientations = orvo.describe_oriented(path, orvo.scale_regions(regions, 3))
        features.append((regions, descriptors, orientations))
    (r1, d1, o1), (r2, d2, o2) = features
    pairs = [(m.queryIdx, m.trainIdx) for m, n in cv2.BFMatcher(cv2.NORM_L2).knnMatch(d1, d2, k=2)
             if m.distance < 0.8 * n.distance]
    i1, i2 = np.array(pairs).T
    points2, refined = orvo.refine_points(path1, path2, r1[i1], r2[i2], o1[i1], o2[i2])
    truth = cv2.perspectiveTransform(r1[None, i1, :2], homography)[0]
    before, after = (np.linalg.norm(p - truth, axis=1) for p in (r2[i2, :2], points2))
    good = before < 3  # the right matches
    assert refined[good].mean() > 0.8
    assert np.median(after[good & refined]) < 0.5 * np.median(before[good & refined])
    np.testing.assert_array_equal(points2[~refined], r2[i2][~refined, :2])
    with pytest.raises(ValueError, match="regions in image 1 but"):
        orvo.refine_points(path1, path2, r1[i1], r2[i2[:-1]], o1[i1], o2[i2[:-1]])
