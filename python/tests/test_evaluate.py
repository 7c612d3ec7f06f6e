"""Tests of orvo.evaluate: ellipse overlap, visibility, correspondences, chance level, sequences, homography and
pose accuracy, and the command."""

import json
import os
import subprocess
import sys

import cv2
import numpy as np
import pytest

import orvo
from orvo import evaluate as ev


def ellipse(x, y, ax, ay, degrees=0.0):
    """Region row of the ellipse with semi-axes ax, ay, the first at the given angle."""
    t = np.deg2rad(degrees)
    r = np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]])
    m = r @ np.diag([ax ** -2.0, ay ** -2.0]) @ r.T
    return np.array([x, y, m[0, 0], m[0, 1], m[1, 1]])


def transformed(region, a, offset=(0.0, 0.0)):
    """The exact image of a region under the affine map p -> a p + offset."""
    k = np.linalg.inv(a)
    m = k.T @ np.array([[region[2], region[3]], [region[3], region[4]]]) @ k
    c = a @ region[:2] + offset
    return np.array([c[0], c[1], m[0, 0], m[0, 1], m[1, 1]])


def lens_error(r1, r2, d):
    """Overlap error of two circles of radii r1, r2 at distance d (they must cross)."""
    inter = (r1 ** 2 * np.arccos((d * d + r1 ** 2 - r2 ** 2) / (2 * d * r1))
             + r2 ** 2 * np.arccos((d * d + r2 ** 2 - r1 ** 2) / (2 * d * r2))
             - 0.5 * np.sqrt((-d + r1 + r2) * (d + r1 - r2) * (d - r1 + r2) * (d + r1 + r2)))
    return 1 - inter / (np.pi * (r1 ** 2 + r2 ** 2) - inter)


SHEAR = np.array([[1.3, 0.7], [-0.2, 0.9]])
GENERAL = ellipse(3.0, -2.0, 7.0, 2.5, 25.0)


@pytest.mark.parametrize("a, b, normalise, expected", [
    (GENERAL, GENERAL, None, 0.0),
    (GENERAL, GENERAL, 30.0, 0.0),
    (ellipse(0, 0, 5, 5), ellipse(0, 0, 6, 6), None, 1 - 1 / 1.44),
    (ellipse(0, 0, 6, 6), ellipse(0, 0, 5, 5), 30.0, 1 - 1 / 1.44),
    # an ellipse and its image under a scaling by 1.5 about its centre
    (GENERAL, transformed(GENERAL, 1.5 * np.eye(2), -0.5 * GENERAL[:2]), None, 1 - 1 / 2.25),
    (GENERAL, transformed(GENERAL, 1.5 * np.eye(2), -0.5 * GENERAL[:2]), 30.0, 1 - 1 / 2.25),
    # crossing circles; normalised to radius 30, the distance between the centres is kept
    (ellipse(0, 0, 3, 3), ellipse(2, 0, 3, 3), None, lens_error(3, 3, 2)),
    (ellipse(0, 0, 3, 3), ellipse(0, 20, 4, 4), 30.0, lens_error(30, 40, 20)),
    # the same lens under a rotation and shear: two general ellipses
    (transformed(ellipse(0, 0, 3, 3), SHEAR), transformed(ellipse(2, 1, 2, 2), SHEAR), None,
     lens_error(3, 2, np.sqrt(5))),
    (ellipse(0, 0, 3, 3), ellipse(20, 0, 3, 3), None, 1.0),
])
def test_overlap_error_closed_forms(a, b, normalise, expected):
    assert ev.ellipse_overlap_error(a, b, normalise)[0] == pytest.approx(expected, abs=1e-9)
    if normalise is None:
        assert ev.ellipse_overlap_error(b, a)[0] == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("dx", [0.0, 1.7, 4.0, 9.5])
def test_overlap_error_matches_rasterised_estimate(dx):
    a = ellipse(0.0, 0.0, 6.0, 2.0, 35.0)
    b = transformed(ellipse(dx, 0.5, 4.0, 1.5, -20.0), SHEAR)
    n = 3000
    xs = np.linspace(-12, 16, n)
    step = xs[1] - xs[0]
    x, y = np.meshgrid(xs, xs - 6)

    def inside(r):
        dx_, dy_ = x - r[0], y - r[1]
        return r[2] * dx_ * dx_ + 2 * r[3] * dx_ * dy_ + r[4] * dy_ * dy_ <= 1

    ia, ib = inside(a), inside(b)
    assert ia.sum() * step ** 2 == pytest.approx(np.pi * 12, rel=1e-3)  # the grid holds the ellipses
    raster = 1 - (ia & ib).sum() / (ia | ib).sum()
    assert ev.ellipse_overlap_error(a, b)[0] == pytest.approx(raster, abs=2e-3)


@pytest.mark.parametrize("normalise", [None, 30.0])
def test_pruned_pairs_are_those_above_the_largest_error(normalise):
    """The grid search and the bounds keep exactly the pairs below the largest error, found by trying all."""
    rng = np.random.default_rng(1)
    regions = [np.array([ellipse(*rng.uniform(20, 380, 2), *rng.uniform(1, 12, 2), rng.uniform(0, 180))
                         for _ in range(150)] + [ellipse(200, 200, 150, 30, k * 40)]) for k in range(2)]
    args = (*regions, np.eye(3), (400, 400), (400, 400))
    every = ev.overlap_errors(*args, normalise=normalise)
    pruned = ev.overlap_errors(*args, normalise=normalise, max_error=0.4)
    i, j = np.nonzero(np.ones((151, 151), bool))
    exact = ev.ellipse_overlap_error(regions[0][i], regions[1][j], normalise)
    assert {*zip(i[exact < 1], j[exact < 1])} == {*map(tuple, every.pairs.tolist())}
    below = exact < 0.4
    assert 0 < below.sum() and pruned.pairs.tolist() == np.column_stack([i[below], j[below]]).tolist()
    np.testing.assert_array_equal(pruned.errors, exact[below])


@pytest.mark.parametrize("H", [
    np.array([[0.8, 0.3, 12.0], [-0.2, 1.1, -5.0], [0.0, 0.0, 1.0]]),
    np.array([[1.1, 0.1, 4.0], [0.05, 0.9, 2.0], [1e-3, -5e-4, 1.0]]),
])
def test_map_regions_follows_the_homography_at_the_centre(H):
    region = ellipse(40.0, 30.0, 1e-3, 0.5e-3, 30.0)  # tiny: the local affine map is exact to first order
    t = np.linspace(0, 2 * np.pi, 50)
    a = np.linalg.cholesky(np.linalg.inv([[region[2], region[3]], [region[3], region[4]]]))
    boundary = region[:2, None] + a @ np.vstack([np.cos(t), np.sin(t)])
    p = H @ np.vstack([boundary, np.ones(50)])
    p = p[:2] / p[2]
    mapped, ok = ev.map_regions(region, H)
    d = p - mapped[0, :2, None]
    value = mapped[0, 2] * d[0] ** 2 + 2 * mapped[0, 3] * d[0] * d[1] + mapped[0, 4] * d[1] ** 2
    assert ok[0]
    np.testing.assert_allclose(value, 1.0, atol=1e-5)


SHIFT = np.array([[1.0, 0, 20.0], [0, 1.0, 0], [0, 0, 1.0]])


@pytest.mark.parametrize("r1, r2, visible1, visible2", [
    # inside both ways
    (ellipse(40, 40, 5, 5), ellipse(60, 40, 5, 5), True, True),
    # touching the left border of its own image (x - r = -0.5): out
    (ellipse(4.4, 40, 5, 5), ellipse(24.6, 40, 5, 5), False, True),
    # inside image 1 but mapped past the right border of image 2, and the same seen from image 2
    (ellipse(80, 40, 5, 5), ellipse(100, 40, 5, 5), False, False),
    # inside image 2 but mapped back past the left border of image 1
    (ellipse(40, 40, 5, 5), ellipse(22, 40, 5, 5), True, False),
])
def test_visibility_at_the_image_border(r1, r2, visible1, visible2):
    shape = (80, 100)
    v1, v2, _, _ = ev.visible_regions(r1[None], r2[None], SHIFT, shape, shape)
    assert (v1[0], v2[0]) == (visible1, visible2)
    result = ev.repeatability(r1[None], r2[None], SHIFT, shape, shape)
    assert (result.visible1, result.visible2) == (int(visible1), int(visible2))


@pytest.mark.parametrize("swap", [False, True])
def test_a_region_near_two_counts_once(swap):
    one = np.array([ellipse(50, 50, 10, 10)])
    two = np.array([ellipse(51, 50, 10, 10), ellipse(49.5, 50, 10, 10), ellipse(150, 50, 10, 10)])
    H = np.eye(3)
    r1, r2 = (two, one) if swap else (one, two)
    result = ev.repeatability(r1, r2, H, (200, 200), (200, 200))
    assert (result.correspondences, result.repeatability) == (1, pytest.approx(100.0))
    assert result.pairs.tolist() == ([[1, 0]] if swap else [[0, 1]])  # the closer of the two


@pytest.mark.parametrize("seed", range(4))
def test_one_to_one_is_the_sequential_greedy_rule(seed):
    rng = np.random.default_rng(seed)
    cost = rng.integers(0, 6, (9, 12)).astype(float)  # many ties
    cost[rng.random(cost.shape) < 0.2] = np.nan
    expected, used_r, used_c = [], set(), set()
    for i, j in sorted(zip(*np.nonzero(np.nan_to_num(cost, nan=99) < 4)), key=lambda ij: (cost[ij], ij)):
        if i not in used_r and j not in used_c:
            expected.append((i, j))
            used_r.add(i)
            used_c.add(j)
    rows, cols = ev.one_to_one(cost, 4)
    assert sorted(zip(rows.tolist(), cols.tolist())) == sorted(expected)


def test_matching_score_counts_matches_that_are_correspondences():
    regions = np.array([ellipse(30 + 40 * i, 50, 8, 5, 10 * i) for i in range(4)])
    descriptors = np.eye(4) * 100
    swapped = descriptors[[1, 0, 2, 3]]
    result = ev.matching_score(regions, regions, descriptors, swapped, np.eye(3), (100, 200), (100, 200))
    assert (result.matches, result.matching_score) == (2, pytest.approx(50.0))
    assert result.pairs.tolist() == [[2, 2], [3, 3]]


@pytest.mark.parametrize("given, keywords", [
    ("orvo", {}),
    ("orvo:t=50,s=2", {"threshold": 50, "scale": 2}),
    ("orvo:threshold=12.5,flag=true", {"threshold": 12.5, "flag": True}),
])
def test_orvo_options_become_keywords(monkeypatch, given, keywords):
    calls = []
    monkeypatch.setattr(orvo, "detect", lambda image, **kw: calls.append((image, kw)) or np.zeros((0, 5)))
    assert ev.parse_detector(given)("img1.png").shape == (0, 5)
    assert calls == [("img1.png", keywords)]


def test_orvo_regions_are_described_at_their_presets_measurement_scale():
    assert ev.parse_detector("orvo:dense=true").measurement_scale(7.0) == orvo.DENSE_OPTIONS["measurement_scale"]
    assert ev.parse_detector("orvo:measurement_scale=5").measurement_scale(7.0) == 5
    assert ev.parse_detector("cv-mser").measurement_scale(7.0) == 7.0


def test_mser_region_of_a_filled_ellipse_is_that_ellipse(tmp_path):
    truth = ellipse(100.3, 90.6, 60, 25, 30)
    y, x = np.mgrid[0:200, 0:200] - truth[1::-1, None, None]
    inside = truth[2] * x * x + 2 * truth[3] * x * y + truth[4] * y * y <= 1
    cv2.imwrite(str(tmp_path / "e.png"), np.where(inside, 0, 255).astype(np.uint8))
    found = ev.parse_detector("cv-mser")(tmp_path / "e.png")
    assert ev.ellipse_overlap_error(found, np.tile(truth, (len(found), 1))).min() < 0.01


def test_homography_text_layout(tmp_path):
    (tmp_path / "H").write_text(" 8.66025404e-01 -5.00000000e-01  8.08317610e+01\n"
                                " 5.00000000e-01  8.66025404e-01\n -4.66682390e+01 0 0 1\n")
    np.testing.assert_allclose(ev.load_homography(tmp_path / "H"),
                               [[0.866025404, -0.5, 80.831761], [0.5, 0.866025404, -46.668239], [0, 0, 1]])
    ev.write_homography(tmp_path / "H2", ev.load_homography(tmp_path / "H"))
    assert np.array_equal(ev.load_homography(tmp_path / "H2"), ev.load_homography(tmp_path / "H"))
    (tmp_path / "bad").write_text("1 0 0 0 1 0 0 0\n")
    with pytest.raises(ev.SequenceError, match="9 numbers"):
        ev.load_homography(tmp_path / "bad")
    # Singular matrices are refused whatever the scale of their numbers; a tiny but invertible one is not.
    for singular in (np.zeros((3, 3)), np.diag([1.0, 1.0, 0.0]), [[1, 2, 3], [2, 4, 6], [0, 0, 1]]):
        ev.write_homography(tmp_path / "H0", singular)
        with pytest.raises(ev.SequenceError, match="invertible"):
            ev.load_homography(tmp_path / "H0")
        with pytest.raises(ValueError, match="singular"):
            ev.repeatability(lattice(60, (200, 200)), lattice(60, (200, 200)), singular, (200, 200), (200, 200))
    ev.write_homography(tmp_path / "H0", 1e-300 * np.eye(3))
    assert ev.load_homography(tmp_path / "H0")[0, 0] == 1e-300


def textured(width=160, height=120, seed=3):
    """A grey test image of overlapping filled ellipses."""
    rng = np.random.default_rng(seed)
    img = np.full((height, width), 128, np.uint8)
    for _ in range(40):
        centre = (int(rng.integers(0, width)), int(rng.integers(0, height)))
        axes = (int(rng.integers(4, 18)), int(rng.integers(3, 12)))
        cv2.ellipse(img, centre, axes, float(rng.uniform(0, 180)), 0, 360, int(rng.integers(0, 256)), -1)
    return cv2.GaussianBlur(img, (0, 0), 1.0)


@pytest.fixture(scope="module")
def tiny_sequence(tmp_path_factory):
    folder = tmp_path_factory.mktemp("seq") / "tiny"
    image = str(folder.parent / "photo.png")
    cv2.imwrite(image, textured())
    done = run_cli("--make-sequence", image, str(folder))
    assert done.returncode == 0, done.stderr
    return folder


def test_made_sequence_homographies_match_the_warped_images(tmp_path):
    points = [(37.3, 41.7), (110.6, 80.2), (70.0, 30.5)]
    y, x = np.mgrid[0:120, 0:160]
    photo = sum(200 * np.exp(-((x - px) ** 2 + (y - py) ** 2) / 8.0) for px, py in points)
    seq = ev.make_sequence(np.clip(photo + 20, 0, 255).astype(np.uint8), tmp_path)
    assert len(seq.images) == 6
    for path, H in zip(seq.images[1:], seq.homographies):
        image = cv2.imread(path, cv2.IMREAD_GRAYSCALE).astype(float)
        for px, py in points:
            p = H @ [px, py, 1.0]
            p = p[:2] / p[2]
            cx, cy = np.rint(p).astype(int)
            win = image[cy - 7:cy + 8, cx - 7:cx + 8]
            win = np.clip(win - np.median(win), 0, None)
            wy, wx = np.mgrid[cy - 7:cy + 8, cx - 7:cx + 8]
            centroid = np.array([(wx * win).sum(), (wy * win).sum()]) / win.sum()
            np.testing.assert_allclose(centroid, p, atol=0.1, err_msg=path)


def run_cli(*args, cwd=None):
    env = dict(os.environ)
    root = os.path.dirname(os.path.dirname(os.path.abspath(orvo.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (root, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-m", "orvo.evaluate", *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=600)


def test_command_end_to_end(tiny_sequence, tmp_path):
    orvo_small = "orvo:t=50,edge_step=3"  # edge points every 3 pixels: regions on a 160 x 120 image
    done = run_cli(str(tiny_sequence), "-d", "cv-mser", "-d", orvo_small, "--out", str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert "\r" not in done.stderr  # no progress bar when standard error is not a terminal
    rows = json.loads((tmp_path / "results.json").read_text())
    assert [(r["detector"], r["pair"]) for r in rows] == [(d, f"1-{k}") for d in ("cv-mser", orvo_small)
                                                         for k in range(2, 7)]
    assert set(rows[0]) == {"sequence", "detector", "pair", "regions", "repeatability", "chance", "above_chance",
                            "correspondences", "matching_score"}
    mser = {r["pair"]: r for r in rows if r["detector"] == "cv-mser"}
    assert mser["1-6"]["regions"][0] > 5 and mser["1-6"]["repeatability"] > 60  # brightness change only
    assert all(0 <= r["repeatability"] <= 100 and 0 <= r["matching_score"] <= 100 for r in rows)
    table = done.stdout.splitlines()
    assert len(table) == 11 and table[1].split()[:3] == ["tiny", "cv-mser", "1-2"]
    assert len((tmp_path / "results.csv").read_text().splitlines()) == 11
    assert (tmp_path / "repeatability.png").stat().st_size > 0 and (tmp_path / "matching_score.png").exists()


def test_file_detector_reads_region_files(tiny_sequence, tmp_path):
    """Regions written for every image as the exact images of image 1's are all repeated."""
    seq = ev.read_sequence(tiny_sequence)
    base = np.array([ellipse(50 + 15 * i, 55 + 4 * (i % 3), 6, 4, 30 * i) for i in range(4)])
    for k, path in enumerate(seq.images, start=1):
        regions = base if k == 1 else ev.map_regions(base, seq.homographies[k - 2])[0]
        lines = ["0", str(len(regions))] + [" ".join(f"{v:.10g}" for v in r) for r in regions]
        (tmp_path / f"img{k}.txt").write_text("\n".join(lines) + "\n")
    rows = ev.evaluate_sequence(seq, [f"file:{tmp_path}/{{stem}}.txt:offset=0"], descriptors=False)
    assert [r["repeatability"] for r in rows] == [100.0] * 5
    assert all(r["regions"] == [4, 4] for r in rows)


@pytest.mark.parametrize("args, message", [
    (["missing-folder"], "no such sequence folder"),
    (["{seq}", "-d", "sift-ish"], "unknown detector"),
    (["{seq}", "-d", "cv-mser:delta"], "bad options"),
    (["{seq}", "-d", "cv-mser:no_such=1"], "bad options for cv-mser"),
    (["{seq}", "-d", "file:{{stem}}.none"], "no region file"),
    (["{seq}", "--threshold", "2"], "--threshold"),
    (["{seq}", "--max-size", "800"], "--max-size goes with --poses"),
    (["--poses", "{seq}"], "NAME.camera files"),
    (["{seq}", "--normalise", "nan"], "--normalise"),
    (["{seq}", "--normalise", "inf"], "--normalise"),
    (["{seq}", "--normalise", "1e308"], "--normalise"),
    (["{seq}", "--descriptor-scale", "1e300"], "--descriptor-scale"),
    (["{seq}", "--descriptor-scale", "-inf"], "--descriptor-scale"),
    (["{seq}", "--threshold", "nan"], "--threshold"),
    (["{seq}", "--homography", "--ransac-threshold", "inf"], "--ransac-threshold"),
    (["{seq}", "--homography", "--ratio", "nan"], "--ratio"),
])
def test_command_errors(tiny_sequence, tmp_path, args, message):
    done = run_cli(*[a.format(seq=tiny_sequence) for a in args], "--out", str(tmp_path), "--no-matching")
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr


def lattice(spacing, shape):
    """Circles of radius 4 on a square lattice of the given spacing, away from the image's border."""
    ys, xs = np.mgrid[20:shape[0] - 20:spacing, 20:shape[1] - 20:spacing]
    return np.array([ellipse(x, y, 4, 4) for x, y in zip(xs.ravel(), ys.ravel())])


@pytest.mark.parametrize("spacing, chance", [(150, 100.0), (100, 0.0), (75, 100.0)])
def test_chance_level_is_the_repeatability_under_shifted_homographies(spacing, chance):
    """Five normalised radii (150 px) are whole lattice steps for spacings 150 and 75: every shifted region then
    lands on another one; with spacing 100 it lands 50 px away, far from any."""
    shape = (620, 800)
    H = np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    regions = lattice(spacing, shape)
    assert ev.repeatability(regions, regions, H, shape, shape).repeatability == 100.0
    assert ev.chance_repeatability(regions, regions, H, shape, shape) == pytest.approx(chance)
    assert ev.chance_repeatability(regions, regions, -H, shape, shape) == pytest.approx(chance)


def test_a_homography_and_its_negative_measure_the_same():
    shape = (300, 400)
    H = np.array([[0.9, 0.1, 20.0], [-0.05, 1.1, 5.0], [1e-4, 2e-4, 1.0]])
    regions = lattice(60, shape)
    mapped = ev.map_regions(regions, H)[0]
    for sign in (1, -1):
        result = ev.repeatability(regions, mapped, sign * H, shape, shape)
        assert (result.repeatability, result.correspondences) == (100.0, result.visible1)


def test_greedy_descriptor_matches_follow_the_sorted_distance_matrix():
    """Small integer descriptors tie often; blocked matching must take pairs in the dense matrix's order."""
    rng = np.random.default_rng(5)
    regions = np.array([ellipse(20 + 12 * (i % 30), 20 + 12 * (i // 30), 3, 3) for i in range(300)])
    d1, d2 = rng.integers(0, 3, (300, 5)), rng.integers(0, 3, (300, 5))
    dist = np.sqrt(((d1[:, None, :] - d2[None, :, :]) ** 2).sum(-1))
    rows, cols = ev.one_to_one(dist)
    result = ev.matching_score(regions, regions, d1, d2, np.eye(3), (400, 400), (400, 400), normalise=None)
    assert result.pairs.tolist() == [[i, i] for i in rows[rows == cols]]


@pytest.mark.parametrize("H_est, error", [
    (lambda H: np.array([[1.0, 0, 3.0], [0, 1.0, -4.0], [0, 0, 1.0]]) @ H, 5.0),  # moved by (3, -4)
    (lambda H: -2.0 * H, 0.0),
    (lambda H: None, float("inf")),
])
def test_corner_error_of_known_homographies(H_est, error):
    H = np.array([[0.8, 0.2, 10.0], [-0.1, 1.2, 3.0], [0.0, 0.0, 1.0]])
    assert ev.corner_error(H_est(H), H, (100, 200)) == pytest.approx(error)


def camera_file(path, K, R, C, size):
    rows = [*K, [0, 0, 0], *R, C, size]
    path.write_text("\n".join(" ".join(f"{v:.17g}" for v in row) for row in rows) + "\n")


def rotation(axis, degrees):
    return cv2.Rodrigues(np.deg2rad(degrees) * np.asarray(axis, float) / np.linalg.norm(axis))[0]


def test_pose_of_projected_points_and_its_error(tmp_path):
    """Points projected by two cameras written in the set's layout give back the true relative pose."""
    K = np.array([[800.0, 0, 320], [0, 800.0, 240], [0, 0, 1]])
    cameras = [(rotation([0, 1, 0.2], 10), np.array([0.0, 0, -10])),
               (rotation([0.3, 1, 0], -15), np.array([3.0, 1, -9]))]
    for name, (R, C) in zip(("a.png", "b.png"), cameras):
        cv2.imwrite(str(tmp_path / name), np.zeros((480, 640), np.uint8))
        camera_file(tmp_path / f"{name}.camera", K, R, C, (640, 480))
    one, two = ev.read_cameras(tmp_path)
    X = np.random.default_rng(2).uniform([-3, -3, -2], [3, 3, 2], (200, 3))
    pixels = [(K @ (cam.R.T @ (X - cam.C).T)).T for cam in (one, two)]
    pixels = [p[:, :2] / p[:, 2:] for p in pixels]
    R, t, inliers = ev.estimate_pose(*pixels, one.K, two.K)
    assert inliers.all()
    assert max(ev.pose_error(R, t, *ev.relative_pose(one, two))) < 0.01
    R_true, t_true = ev.relative_pose(one, two)
    tilted = rotation(np.cross(t_true, [1, 0, 0]), 7) @ t_true
    assert ev.pose_error(rotation([1, 2, 3], 4) @ R_true, tilted, R_true, t_true) == pytest.approx((4, 7))


def test_pose_auc_closed_form():
    # the cumulative curve rises from 0.5 at 0 degrees to 1 at 10; a failed pair never counts
    assert ev.pose_auc([0.0, 10.0], (5, 20)) == pytest.approx([0.5, 0.875])
    assert ev.pose_auc([0.0, np.inf], (10,)) == pytest.approx([0.5])


def test_regions_that_cannot_be_described_are_reported(tiny_sequence, tmp_path):
    huge = np.array([ellipse(80, 60, 3e8, 3e8), ellipse(80, 60, 5, 4)])
    for k in range(1, 7):
        lines = ["0", "2"] + [" ".join(f"{v:.10g}" for v in r) for r in huge]
        (tmp_path / f"img{k}.txt").write_text("\n".join(lines) + "\n")
    done = run_cli(str(tiny_sequence), "-d", f"file:{tmp_path}/{{stem}}.txt:offset=0", "--out", str(tmp_path))
    assert done.returncode == 0, done.stderr  # the huge region is not in the image: it is not described
    done = run_cli(str(tiny_sequence), "-d", "orvo:s=1e7", "--out", str(tmp_path))
    assert done.returncode in (0, 2) and "Traceback" not in done.stderr


def test_a_sequence_is_not_made_over_another(tiny_sequence, tmp_path):
    (tmp_path / "img7.png").write_bytes(b"")
    done = run_cli("--make-sequence", str(tiny_sequence / "img1.png"), str(tmp_path))
    assert done.returncode == 2 and "not empty" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["img7.png"]


def test_mutual_ratio_matches():
    d1 = np.array([[0, 0], [10, 0], [0, 10.25], [20, 20], [31, 31]], np.float32)
    d2 = np.array([[10.5, 0], [0, 0.5], [0, 10], [0, 10.5], [30, 30]], np.float32)
    # d1[2] lies halfway between d2[2] and d2[3] (no ratio); d1[3]'s nearest, d2[4], is nearer d1[4]: not mutual
    assert ev.mutual_ratio_matches(d1, d2, 0.8).tolist() == [[0, 1], [1, 0], [4, 4]]


def scene_views(folder, cameras, K, size=(480, 360)):
    """Images of two textured planes (a wall at z = 0 and a card at z = -1.5 in front of it) seen by cameras
    (R, C), with their camera files."""
    wall, card = textured(640, 480, seed=7), textured(200, 200, seed=8)
    for k, (R, C) in enumerate(cameras):
        view = np.zeros(size[::-1], np.uint8)
        for texture, depth, scale in ((wall, 0.0, 100.0), (card, -1.5, 100.0)):
            h, w = texture.shape
            # texture pixel (u, v) -> world ((u - w/2) / scale, (v - h/2) / scale, depth)
            A = np.array([[1 / scale, 0, -w / 2 / scale], [0, 1 / scale, -h / 2 / scale], [0, 0, depth]]) - \
                np.outer(C, [0, 0, 1])
            H = K @ R.T @ A
            warped = cv2.warpPerspective(texture, H, size, flags=cv2.INTER_LINEAR)
            mask = cv2.warpPerspective(np.ones_like(texture), H, size, flags=cv2.INTER_NEAREST)
            view[mask > 0] = warped[mask > 0]
        cv2.imwrite(str(folder / f"{k}.png"), view)
        camera_file(folder / f"{k}.png.camera", K, R, C, size)


def test_command_poses_end_to_end(tmp_path):
    K = np.array([[400.0, 0, 240], [0, 400.0, 180], [0, 0, 1]])
    scene_views(tmp_path, [(np.eye(3), np.array([0.0, 0, -6])), (rotation([0, 1, 0], -12), np.array([1.4, 0, -6])),
                           (rotation([1, 0, 0], 10), np.array([0, -1.1, -5.5]))], K)
    done = run_cli("--poses", str(tmp_path), "-d", "cv-sift", "--max-size", "400", "--out", str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "out" / "poses.json").read_text())
    assert [r["pair"] for r in result["pairs"]] == ["0-1", "0-2", "1-2"]
    # a transposed rotation, a reversed translation or a badly scaled K would be off by 20 degrees or more
    assert all(r["inliers"] > 20 and r["error"] < 8 for r in result["pairs"])
    assert result["summary"][0]["auc20"] > 0.6 and "cv-sift" in done.stdout


def test_homography_from_ratio_tested_matches():
    """Descriptors that single out each of 40 points give back the homography that moved them."""
    rng = np.random.default_rng(4)
    H = np.array([[0.9, 0.2, 15.0], [-0.1, 1.1, -8.0], [2e-4, -1e-4, 1.0]])
    regions = np.array([ellipse(*rng.uniform(10, 190, 2), 3, 3) for _ in range(40)])
    descriptors = rng.uniform(0, 255, (40, 128)).astype(np.float32)
    one = ev.matching.Features(regions, descriptors, np.zeros(40), 0.0)
    two = ev.matching.Features(ev.map_regions(regions, H)[0][::-1], descriptors[::-1], np.zeros(40), 0.0)
    estimate, matches, inliers = ev.homography.estimate_homography("cv-mser", one, two)
    assert (matches, inliers) == (40, 40)
    assert ev.corner_error(estimate, H, (200, 200)) < 1e-3


def test_command_homography_end_to_end(tiny_sequence, tmp_path):
    done = run_cli(str(tiny_sequence), "--homography", "-d", "cv-mser", "--out", str(tmp_path))
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "homography.json").read_text())
    errors = {r["pair"]: r["corner_error"] for r in result["pairs"]}
    assert errors["1-6"] < 1 and result["summary"][0]["pairs"] == 5  # brightness change only


def test_homography_evaluation_measures_what_orvo_match_gives(scene_views):
    path1, path2, _ = scene_views
    features = [ev.image_features("orvo:dense=true", path, k, inside_only=False)
                for k, path in enumerate((path1, path2), start=1)]
    H, matches, inliers = ev.homography.estimate_homography("orvo:dense=true", *features)
    result = orvo.match(path1, path2)
    assert (matches, inliers) == (result.counts["tentative"], result.counts["inliers"])
    np.testing.assert_allclose(H, result.model, rtol=1e-9, atol=1e-12)


def test_poses_of_orvo_come_from_orvo_match(tmp_path):
    K = np.array([[400.0, 0, 240], [0, 400.0, 180], [0, 0, 1]])
    # Cameras close enough for some thirty matches: with fewer than 25, a pose among the planes' is a matter of luck.
    scene_views(tmp_path, [(np.eye(3), np.array([0.0, 0, -5])), (rotation([0, 1, 0], -12), np.array([1.2, 0, -5]))],
                K)
    cameras = ev.read_cameras(tmp_path)
    pairs, summary = ev.evaluate_poses(tmp_path, ["orvo:dense=true"])
    result = orvo.match(cameras[0].image, cameras[1].image, model="fundamental")
    # The evaluator's RANSAC sees orvo.match's refined inliers: no more of them, and the right pose.
    assert pairs[0]["matches"] == result.counts["tentative"]
    assert 10 < pairs[0]["inliers"] <= result.counts["inliers"] and pairs[0]["error"] < 3, pairs[0]


def test_a_singular_ground_truth_homography_is_a_usage_error(tiny_sequence, tmp_path):
    folder = tmp_path / "zeros"
    folder.mkdir()
    for name in ("img1.png", "img2.png"):
        (folder / name).write_bytes((tiny_sequence / name).read_bytes())
    (folder / "H1to2p").write_text("0 0 0\n0 0 0\n0 0 0\n")
    for mode in ([], ["--homography"]):
        done = run_cli(str(folder), *mode, "-d", "cv-mser", "--out", str(tmp_path / "out"))
        assert done.returncode == 2 and "H1to2p" in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "out").exists()


def test_progress_shows_on_a_terminal_only(tiny_sequence, tmp_path):
    import pty

    main, terminal = pty.openpty()
    try:
        done = subprocess.run([sys.executable, "-m", "orvo.evaluate", str(tiny_sequence), "-d", "cv-mser",
                               "--no-matching", "--out", str(tmp_path)], stdout=subprocess.PIPE, stderr=terminal,
                              env={**os.environ, "PYTHONPATH": os.pathsep.join(
                                  p for p in (os.path.dirname(os.path.dirname(os.path.abspath(orvo.__file__))),
                                              os.environ.get("PYTHONPATH")) if p)}, timeout=600)
        os.close(terminal)
        terminal = None
        shown = b""
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # the terminal's other side is closed: all is read
                break
            if not chunk:
                break
            shown += chunk
    finally:
        if terminal is not None:
            os.close(terminal)
        os.close(main)
    assert done.returncode == 0
    assert b"\r[" in shown and b"6/6" in shown  # one step per image of the six
    assert b"\r" not in done.stdout


def bad_camera_sets():
    K = [[400.0, 0, 240], [0, 400.0, 180], [0, 0, 1]]
    mirror = np.diag([1.0, 1.0, -1.0])
    yield "singular K", [[400.0, 0, 240], [0, 0, 180], [0, 0, 1]], np.eye(3), (480, 360), "K is not"
    yield "K not upper triangular", [[400.0, 0, 240], [0, 400.0, 180], [1e-3, 0, 1]], np.eye(3), (480, 360), \
        "K is not"
    yield "a reflection", K, mirror, (480, 360), "R is not a rotation"
    yield "another size", K, np.eye(3), (640, 480), "640 x 480"
    yield "a fractional size", K, np.eye(3), (480.5, 360), "whole numbers"


@pytest.mark.parametrize("what, K, R, size, message", list(bad_camera_sets()), ids=lambda v: v
                         if isinstance(v, str) else "")
def test_cameras_that_do_not_fit_are_refused(tmp_path, what, K, R, size, message):
    K0 = np.array([[400.0, 0, 240], [0, 400.0, 180], [0, 0, 1]])
    scene_views(tmp_path, [(np.eye(3), np.array([0.0, 0, -6])), (np.eye(3), np.array([1.0, 0, -6]))], K0)
    camera_file(tmp_path / "1.png.camera", np.asarray(K), R, [1.0, 0, -6], size)
    done = run_cli("--poses", str(tmp_path), "-d", "cv-sift", "--out", str(tmp_path / "out"))
    assert done.returncode == 2, what
    assert "1.png.camera" in done.stderr and message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "out").exists()


def test_cameras_at_one_centre_are_not_scored(tmp_path):
    K = np.array([[400.0, 0, 240], [0, 400.0, 180], [0, 0, 1]])
    scene_views(tmp_path, [(np.eye(3), np.array([0.0, 0, -6])), (rotation([0, 1, 0], -8), np.array([0.0, 0, -6])),
                           (np.eye(3), np.array([1.2, 0, -6]))], K)
    pairs, summary = ev.evaluate_poses(tmp_path, ["cv-sift"])
    assert [(r["pair"], r["scored"]) for r in pairs] == [("0-1", False), ("0-2", True), ("1-2", True)]
    assert pairs[0]["error"] is None and pairs[0]["translation_error"] is None
    assert all(r["error"] < 8 for r in pairs[1:])
    assert summary[0]["pairs"] == 2


def test_images_of_one_name_and_two_formats_are_two_images(tmp_path):
    K = np.array([[400.0, 0, 240], [0, 400.0, 180], [0, 0, 1]])
    scene_views(tmp_path, [(np.eye(3), np.array([0.0, 0, -6])), (rotation([0, 1, 0], -12), np.array([1.4, 0, -6]))],
                K)
    os.replace(tmp_path / "0.png", tmp_path / "v0.png")
    os.replace(tmp_path / "0.png.camera", tmp_path / "v0.png.camera")
    cv2.imwrite(str(tmp_path / "v0.jpg"), cv2.imread(str(tmp_path / "1.png")), [cv2.IMWRITE_JPEG_QUALITY, 98])
    os.replace(tmp_path / "1.png.camera", tmp_path / "v0.jpg.camera")
    os.remove(tmp_path / "1.png")
    pairs, _ = ev.evaluate_poses(tmp_path, ["cv-sift"], max_size=400)
    assert [r["pair"] for r in pairs] == ["v0.jpg-v0.png"]
    assert pairs[0]["inliers"] > 20 and pairs[0]["error"] < 8  # one image against itself gives no pose


def test_names_of_any_bytes_are_kept(tmp_path):
    """A sequence folder whose name is not UTF-8: made, measured, and named in every report as its bytes."""
    cv2.imwrite(str(tmp_path / "photo.png"), textured())
    folder = os.fsencode(str(tmp_path)) + b"/s\xffq"
    environment = {**os.environ, "LC_ALL": "C.UTF-8", "PYTHONPATH": os.pathsep.join(
        p for p in (os.path.dirname(os.path.dirname(os.path.abspath(orvo.__file__))), os.environ.get("PYTHONPATH"))
        if p)}

    def run(*args):
        return subprocess.run([sys.executable, "-m", "orvo.evaluate", *args], capture_output=True, timeout=600,
                              env=environment)

    made = run("--make-sequence", str(tmp_path / "photo.png"), folder)
    assert made.returncode == 0, made.stderr
    done = run(folder, "-d", "cv-mser", "--no-matching", "--out", str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr
    assert b"\ns\xffq " in done.stdout
    rows = json.loads((tmp_path / "out" / "results.json").read_bytes().decode("utf-8"))
    assert {os.fsencode(r["sequence"]) for r in rows} == {b"s\xffq"}
    assert b"\ns\xffq,cv-mser,1-2," in (tmp_path / "out" / "results.csv").read_bytes()
