"""The conversions to OpenCV KeyPoints, kornia frames and COLMAP keypoints, checked geometrically."""

import cv2
import numpy as np
import pytest

import orvo


def random_regions(count, seed=0):
    """Regions of random centres, axes (1..50) and orientations, as rows x y a b c."""
    rng = np.random.default_rng(seed)
    angles = rng.uniform(0, np.pi, count)
    axes = rng.uniform(1, 50, (count, 2))
    rotations = np.stack([np.cos(angles), -np.sin(angles), np.sin(angles), np.cos(angles)], 1).reshape(-1, 2, 2)
    M = rotations @ np.apply_along_axis(np.diag, 1, axes ** -2.0) @ rotations.transpose(0, 2, 1)
    return np.column_stack([rng.uniform(0, 500, (count, 2)), M[:, 0, 0], M[:, 0, 1], M[:, 1, 1]])


def test_frames_map_the_unit_circle_onto_the_ellipse():
    regions = random_regions(200)
    lafs = orvo.to_lafs(regions, origin=0).astype(np.float64)[0]
    circle = np.stack([np.cos(np.linspace(0, 2 * np.pi, 16)), np.sin(np.linspace(0, 2 * np.pi, 16))])
    boundary = lafs[:, :, :2] @ circle + lafs[:, :, 2:]  # (N, 2, 16)
    offsets = boundary - regions[:, :2, None]
    M = np.stack([regions[:, [2, 3]], regions[:, [3, 4]]], axis=1)
    values = np.einsum("nik,nij,njk->nk", offsets, M, offsets)
    np.testing.assert_allclose(values, 1, rtol=1e-4)
    assert np.all(lafs[:, 0, 1] == 0)  # upright: lower triangular

    # The centre is the keypoint's pt unchanged by default, as kornia's own frames.
    np.testing.assert_array_equal(orvo.to_lafs(regions), orvo.to_lafs(regions, origin=0))
    np.testing.assert_allclose(lafs[:, :, 2], regions[:, :2], rtol=1e-6)
    colmap = orvo.to_colmap_keypoints(regions)
    assert colmap.shape == (200, 6) and colmap.dtype == np.float32
    np.testing.assert_allclose(colmap[:, :2], regions[:, :2] + 0.5, rtol=1e-6)
    np.testing.assert_allclose(colmap[:, 2:], lafs[:, :, :2].reshape(-1, 4), rtol=1e-5, atol=1e-6)


def test_frames_round_trip_including_rotated_and_skewed_ones():
    regions = random_regions(100, seed=1)
    lafs = orvo.to_lafs(regions)
    assert lafs.shape == (1, 100, 2, 3) and lafs.dtype == np.float32
    np.testing.assert_allclose(orvo.from_lafs(lafs), regions, rtol=1e-4)
    # Any A with A A' = M^-1 describes the same ellipse: the upright frame rotated on the right.
    rotation = np.array([[np.cos(0.7), -np.sin(0.7)], [np.sin(0.7), np.cos(0.7)]])
    frames = orvo.to_lafs(regions, origin=0)[0].astype(np.float64)
    frames[:, :, :2] = frames[:, :, :2] @ rotation
    np.testing.assert_allclose(orvo.from_lafs(frames, origin=0), regions, rtol=1e-4)


def test_keypoint_sizes_and_angles():
    # Semi-axes 10 and 5: along x, along y, at 45 degrees (clockwise, y down); and a circle.
    rotated = np.array([[1 / 100 + 1 / 25, 1 / 100 - 1 / 25], [1 / 100 - 1 / 25, 1 / 100 + 1 / 25]]) / 2
    regions = np.array([[3, 4, 1 / 100, 0, 1 / 25], [3, 4, 1 / 25, 0, 1 / 100],
                        [3, 4, rotated[0, 0], rotated[0, 1], rotated[1, 1]], [5, 6, 0.01, 0, 0.01]])
    keypoints = orvo.to_keypoints(regions)
    assert [k.angle for k in keypoints] == pytest.approx([0, 90, 45, 0], abs=1e-4)
    assert [k.size for k in keypoints] == pytest.approx([2 * np.sqrt(50)] * 3 + [20], rel=1e-6)
    assert keypoints[0].pt == (3, 4)


@pytest.mark.parametrize("angle", [30, 120])
def test_keypoint_of_a_drawn_rotated_ellipse(angle):
    image = np.full((300, 300), 40, np.uint8)
    cv2.ellipse(image, (150, 150), (60, 25), angle, 0, 360, 220, -1, cv2.LINE_AA)
    cv2.rectangle(image, (20, 20), (280, 280), 140, 3)
    regions = orvo.detect(image, edge_step=3)
    centred = [k for k in orvo.to_keypoints(regions) if np.hypot(k.pt[0] - 150, k.pt[1] - 150) < 2]
    assert len(centred) == 1
    assert centred[0].size == pytest.approx(2 * np.sqrt(60 * 25), rel=0.06)
    assert centred[0].angle == pytest.approx(angle, abs=2)
