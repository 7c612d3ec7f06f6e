"""Exports: a COLMAP database that Debian's colmap matches and verifies, with the cameras colmap itself makes, and
an hloc feature file that survives a kill."""

import os
import re
import shutil
import signal
import sqlite3
import struct
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

import orvo
import orvo.export
import orvo.tracks

from conftest import SAMPLE, textured_scene

# Measured on the generated views (seed 1): 65 verified inlier matches, 524 with the dense preset.
MIN_VERIFIED_INLIERS = 35


def colmap(*arguments):
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    environment.pop("LD_PRELOAD", None)  # a sanitizer runtime meant for the Python module
    return subprocess.run(["colmap", *arguments], env=environment, capture_output=True, text=True, timeout=120)


def columns(database):
    with sqlite3.connect(database) as connection:
        tables = [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
        return {table: connection.execute(f"PRAGMA table_info({table})").fetchall() for table in tables}


@pytest.mark.skipif(shutil.which("colmap") is None, reason="colmap is not installed")
def test_colmap_matches_and_verifies_orvo_features(scene_views, tmp_path):
    view1, view2, _ = scene_views
    database = tmp_path / "orvo.db"
    assert orvo.export.colmap_database(database, [view1, view2]) == {"view1.png": 1, "view2.png": 2}
    # Adding the same images again changes nothing.
    assert orvo.export.colmap_database(database, [view2, view1]) == {"view2.png": 2, "view1.png": 1}

    reference = tmp_path / "colmap.db"
    assert colmap("database_creator", "--database_path", str(reference)).returncode == 0
    # COLMAP's tables, and one of ours that COLMAP leaves alone: the folder the images are named from.
    ours = columns(database)
    assert [column[1] for column in ours.pop("orvo_image_root")] == ["root"]
    assert ours == columns(reference)

    with sqlite3.connect(database) as connection:
        assert connection.execute("SELECT COUNT(*) FROM images").fetchone()[0] == 2
        rows, cols, data = connection.execute("SELECT rows, cols, data FROM keypoints WHERE image_id = 1").fetchone()
    keypoints = np.frombuffer(data, np.float32).reshape(rows, cols)
    np.testing.assert_allclose(keypoints, orvo.to_colmap_keypoints(orvo.detect(view1)), rtol=1e-6)

    classic = verified_inliers(database)
    assert classic >= MIN_VERIFIED_INLIERS
    # The dense preset's features: more verified matches.
    dense_database = tmp_path / "dense.db"
    orvo.export.colmap_database(dense_database, [view1, view2], dense=True)
    assert verified_inliers(dense_database) > classic


def verified_inliers(database):
    """COLMAP's matcher and geometric verification on the database's two images: the verified matches."""
    done = colmap("exhaustive_matcher", "--database_path", str(database), "--SiftMatching.use_gpu", "0")
    assert done.returncode == 0, done.stderr
    with sqlite3.connect(database) as connection:
        pair = orvo.export.pair_id(1, 2)
        inliers = connection.execute("SELECT rows FROM two_view_geometries WHERE pair_id = ?", (pair,)).fetchone()
    return 0 if inliers is None else inliers[0]


def test_hloc_feature_file(scene_views, tmp_path):
    h5py = pytest.importorskip("h5py")
    view1, view2, _ = scene_views
    path = tmp_path / "features.h5"
    assert orvo.export.hloc_h5(path, [view1]) == ["view1.png"]
    assert orvo.export.hloc_h5(path, [view1, view2]) == ["view1.png", "view2.png"]
    regions = orvo.detect(view1)
    with h5py.File(path, "r") as features:
        assert sorted(features) == ["view1.png", "view2.png"]
        group = features["view1.png"]
        np.testing.assert_allclose(group["keypoints"][()], regions[:, :2], rtol=1e-6)
        descriptors = group["descriptors"][()]
        assert descriptors.shape == (128, len(regions)) and descriptors.dtype == np.float32
        np.testing.assert_allclose(np.linalg.norm(descriptors, axis=0), 1, rtol=1e-5)
        expected = orvo.describe(view1, orvo.scale_regions(regions, 3)).T.astype(np.float32)
        np.testing.assert_allclose(descriptors * np.linalg.norm(expected, axis=0), expected, atol=1e-3)
        assert group["scores"].shape == (len(regions),)
        assert list(group["image_size"][()]) == [640, 480]

    # Dense regions are described at the dense preset's measurement scale.
    orvo.export.hloc_h5(tmp_path / "dense.h5", [view1], dense=True)
    measured = orvo.scale_regions(orvo.detect(view1, dense=True), orvo.DENSE_OPTIONS["measurement_scale"])
    expected = orvo.describe(view1, measured).T.astype(np.float32)
    with h5py.File(tmp_path / "dense.h5", "r") as features:
        stored = features["view1.png"]["descriptors"][()]
    np.testing.assert_allclose(stored * np.linalg.norm(expected, axis=0), expected, atol=1e-3)


def jpeg_with_focal_length(image, focal_35mm=None):
    """JPEG bytes of a grey image, with an EXIF FocalLengthIn35mmFilm tag when given."""
    jpeg = cv2.imencode(".jpg", image)[1].tobytes()
    if focal_35mm is None:
        return jpeg
    # Little-endian TIFF: IFD0 holds the pointer to the EXIF IFD, which holds the one SHORT tag.
    exif_ifd = struct.pack("<HHHIHHI", 1, 0xA405, 3, 1, focal_35mm, 0, 0)
    tiff = b"II*\0" + struct.pack("<I", 8) + struct.pack("<HHHII", 1, 0x8769, 4, 1, 26) + struct.pack("<I", 0)
    segment = b"Exif\0\0" + tiff + exif_ifd
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(segment) + 2) + segment + jpeg[2:]


def cameras_by_image(database):
    """image name -> (camera id, model, width, height, prior, *params) of a COLMAP database."""
    with sqlite3.connect(database) as connection:
        rows = connection.execute("SELECT name, cameras.camera_id, model, width, height, params, prior_focal_length "
                                  "FROM images JOIN cameras ON images.camera_id = cameras.camera_id").fetchall()
    return {row[0]: (row[1], row[2], row[3], row[4], row[6], *np.frombuffer(row[5])) for row in rows}


def same_camera_groups(cameras):
    groups = {}
    for name, camera in cameras.items():
        groups.setdefault(camera[0], set()).add(name)
    return sorted(sorted(group) for group in groups.values())


@pytest.mark.skipif(shutil.which("colmap") is None, reason="colmap is not installed")
def test_colmap_cameras_are_those_colmap_makes(tmp_path):
    # Two folders holding an image of the same name; a 35 mm focal length tag on the images of folder a.
    root = tmp_path / "images"
    image = textured_scene(seed=3, width=320, height=240, shapes=200)
    files = {"a/img.jpg": 50, "a/other.jpg": 50, "b/img.jpg": None, "b/wide.jpg": None}
    for name, focal in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        picture = image if "wide" not in name else cv2.resize(image, (400, 240))
        (root / name).write_bytes(jpeg_with_focal_length(picture, focal))

    for model in ("SIMPLE_RADIAL", "OPENCV"):
        ours, theirs = tmp_path / f"ours-{model}.db", tmp_path / f"colmap-{model}.db"
        ids = orvo.export.colmap_database(ours, sorted(root.glob("*/*.jpg")), camera_model=model,
                                          single_camera_per_folder=True, threads=2)
        assert sorted(ids) == sorted(files)
        done = colmap("feature_extractor", "--database_path", str(theirs), "--image_path", str(root),
                      "--ImageReader.camera_model", model, "--ImageReader.single_camera_per_folder", "1",
                      "--SiftExtraction.use_gpu", "0", "--SiftExtraction.num_threads", "1")
        assert done.returncode == 0, done.stderr
        our_cameras, their_cameras = cameras_by_image(ours), cameras_by_image(theirs)
        assert sorted(their_cameras) == ["a/img.jpg", "a/other.jpg", "b/img.jpg"]
        for name in their_cameras:
            assert our_cameras[name][1:] == pytest.approx(their_cameras[name][1:]), name
        assert our_cameras["a/img.jpg"][4] == 1 and our_cameras["b/img.jpg"][4] == 0
        # COLMAP refuses an image whose size differs from its folder's camera; ours gets a camera of its own.
        assert same_camera_groups(our_cameras) == [["a/img.jpg", "a/other.jpg"], ["b/img.jpg"], ["b/wide.jpg"]]


def test_exports_check_everything_before_touching_a_file(scene_views, tmp_path):
    view1, view2, _ = scene_views
    database = tmp_path / "other.db"
    with sqlite3.connect(database) as connection:
        connection.execute("CREATE TABLE images (id INTEGER, path TEXT)")
        connection.execute("INSERT INTO images VALUES (1, 'x')")
    before = database.read_bytes()
    with pytest.raises(ValueError, match="images"):
        orvo.export.colmap_database(database, [view1])
    assert database.read_bytes() == before

    fresh = tmp_path / "fresh.db"
    for call, error in [
        (lambda: orvo.export.colmap_database(fresh, str(view1)), TypeError),
        (lambda: orvo.export.colmap_database(fresh, [view1], edge_step=0), ValueError),
        (lambda: orvo.export.colmap_database(fresh, [view1], edge_steps="11"), TypeError),
        (lambda: orvo.export.colmap_database(fresh, [view1], camera_model="FISHEYE"), ValueError),
        (lambda: orvo.export.colmap_database(fresh, [view1], image_root=tmp_path / "elsewhere"), ValueError),
        (lambda: orvo.export.colmap_database(fresh, [view1, tmp_path / "missing.png"]), FileNotFoundError),
        (lambda: orvo.export.hloc_h5(tmp_path / "f.h5", view1), TypeError),
        (lambda: orvo.export.hloc_h5(tmp_path / "f.h5", [view1], threshold="x"), TypeError),
    ]:
        with pytest.raises(error):
            call()
    assert sorted(os.listdir(tmp_path)) == ["other.db"]


HLOC_WRITER = """
import sys, orvo.export
orvo.export.hloc_h5(sys.argv[1], sys.argv[2:], threads=1, batch_size=1)
"""


def test_hloc_file_survives_a_kill(tmp_path):
    h5py = pytest.importorskip("h5py")
    paths = []
    for seed in range(8):
        paths.append(tmp_path / f"view{seed}.png")
        cv2.imwrite(str(paths[-1]), textured_scene(seed=20 + seed, width=480, height=360, shapes=800))
    features = tmp_path / "features.h5"
    child = subprocess.Popen([sys.executable, "-c", HLOC_WRITER, str(features), *map(str, paths)])
    try:
        # Killed as soon as the first batch is in place, while it writes the next ones.
        for _ in range(6000):
            if features.exists() or child.poll() is not None:
                break
            time.sleep(0.01)
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait()
    with h5py.File(features, "r") as written:
        for name in written:
            assert written[name]["keypoints"].shape[0] == written[name]["descriptors"].shape[1] > 0
    assert orvo.export.hloc_h5(features, paths) == [path.name for path in paths]
    with h5py.File(features, "r") as written:
        assert sorted(written) == sorted(path.name for path in paths)
        np.testing.assert_allclose(written["view7.png"]["keypoints"][()], orvo.detect(paths[7])[:, :2], rtol=1e-6)


def geometry(database, first, second):
    """(config, inlier index pairs, F, H) of a pair, and the tentative match count."""
    with sqlite3.connect(database) as connection:
        pair = orvo.export.pair_id(first, second)
        rows, data, config, F, H = connection.execute(
            "SELECT rows, data, config, F, H FROM two_view_geometries WHERE pair_id = ?", (pair,)).fetchone()
        tentative = connection.execute("SELECT rows FROM matches WHERE pair_id = ?", (pair,)).fetchone()[0]
    inliers = np.frombuffer(data, np.uint32).reshape(rows, 2)
    return config, inliers, np.frombuffer(F).reshape(3, 3), np.frombuffer(H).reshape(3, 3), tentative


def test_colmap_verified_matches(scene_views, tmp_path):
    view1, view2, homography = scene_views
    keypoints = [orvo.to_colmap_keypoints(orvo.detect(view, dense=True))[:, :2] for view in (view1, view2)]
    shift = np.array([[1, 0, 0.5], [0, 1, 0.5], [0, 0, 1]])
    for model in ("homography", "fundamental"):
        database = tmp_path / f"{model}.db"
        orvo.export.colmap_database(database, [view1, view2], dense=True, match=True, match_model=model)
        config, inliers, F, H, tentative = geometry(database, 1, 2)
        assert len(inliers) >= orvo.export.MIN_INLIERS and tentative >= len(inliers)
        points1 = np.column_stack([keypoints[0][inliers[:, 0]], np.ones(len(inliers))])
        points2 = np.column_stack([keypoints[1][inliers[:, 1]], np.ones(len(inliers))])
        if model == "homography":
            # COLMAP's coordinates: the true homography between pixel centres at half-integers.
            assert config == 6
            expected = shift @ homography @ np.linalg.inv(shift)
            np.testing.assert_allclose(H / H[2, 2], expected / expected[2, 2], rtol=0.05, atol=2e-4)
        else:
            assert config == 3
            lines = points1 @ F.T
            distances = np.abs(np.sum(points2 * lines, axis=1)) / np.hypot(lines[:, 0], lines[:, 1])
            assert np.median(distances) < 1.5
    # The stored keypoints of the matches were refined along their tracks: closer to the true homography than the
    # detected centres.
    expected = shift @ homography @ np.linalg.inv(shift)

    def transfer(points1, points2):
        return np.median(np.linalg.norm(cv2.perspectiveTransform(points1[None], expected)[0] - points2, axis=1))

    with sqlite3.connect(database) as connection:
        stored = [np.frombuffer(connection.execute("SELECT data FROM keypoints WHERE image_id = ?", (i,)).fetchone()[0],
                                np.float32).reshape(-1, 6)[:, :2].astype(np.float64) for i in (1, 2)]
    detected = [k.astype(np.float64) for k in keypoints]
    assert transfer(stored[0][inliers[:, 0]], stored[1][inliers[:, 1]]) < 0.5 * transfer(
        detected[0][inliers[:, 0]], detected[1][inliers[:, 1]])


def test_an_image_is_stored_once_whatever_lists_follow(tmp_path, capsys):
    h5py = pytest.importorskip("h5py")
    image = textured_scene(seed=5, width=200, height=160, shapes=100)
    for name in ("x/a.png", "x/c.png", "y/b.png"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        cv2.imwrite(str(tmp_path / name), image)
    a, b, c = tmp_path / "x/a.png", tmp_path / "y/b.png", tmp_path / "x/c.png"
    database, features = tmp_path / "out.db", tmp_path / "out.h5"
    # The first list's root (tmp_path) stays the root: x/a is "x/a.png" in every later export, whose own
    # deepest folder (x) would have named it "a.png".
    assert orvo.export.colmap_database(database, [a, b], threads=1) == {"x/a.png": 1, "y/b.png": 2}
    assert orvo.export.colmap_database(database, [a, c], threads=1) == {"x/a.png": 1, "x/c.png": 3}
    assert orvo.export.hloc_h5(features, [a, b], threads=1) == ["x/a.png", "y/b.png"]
    assert orvo.export.hloc_h5(features, [a, c], threads=1) == ["x/a.png", "x/c.png"]
    with sqlite3.connect(database) as connection:
        assert sorted(row[0] for row in connection.execute("SELECT name FROM images")) == \
            ["x/a.png", "x/c.png", "y/b.png"]
    with h5py.File(features, "r") as written:
        assert sorted(written) == ["x", "y"] and sorted(written["x"]) == ["a.png", "c.png"]

    # Another root would name the stored images anew: refused before anything is written, as is an image
    # outside the root; the same root given explicitly is fine.
    before = database.read_bytes(), features.read_bytes()
    for call in (lambda: orvo.export.colmap_database(database, [a], image_root=tmp_path / "x"),
                 lambda: orvo.export.hloc_h5(features, [a], image_root=tmp_path / "x"),
                 lambda: orvo.export.colmap_database(database, [SAMPLE])):
        with pytest.raises(ValueError, match="image_root|names its images"):
            call()
    assert (database.read_bytes(), features.read_bytes()) == before
    assert orvo.export.colmap_database(database, [c], image_root=tmp_path) == {"x/c.png": 3}

    # A root given to the first export is the file's from then on.
    rooted = tmp_path / "rooted.h5"
    assert orvo.export.hloc_h5(rooted, [a], image_root=tmp_path, threads=1) == ["x/a.png"]
    assert orvo.export.hloc_h5(rooted, [c], threads=1) == ["x/c.png"]
    # Progress on request (by default only on a terminal, and the tests' standard error is none).
    assert capsys.readouterr().err == ""
    orvo.export.hloc_h5(rooted, [a, b], threads=1, progress=True)
    assert re.fullmatch(r"hloc_h5: images 1/1 \(\d+ s\)\n", capsys.readouterr().err.split("\r")[-1])


def test_hloc_features_and_matches_in_hlocs_layout(scene_views, tmp_path):
    h5py = pytest.importorskip("h5py")
    view1, view2, homography = scene_views
    features, matches = tmp_path / "features.h5", tmp_path / "matches.h5"
    orvo.export.hloc_h5(features, [view1, view2])
    pairs = tmp_path / "pairs.txt"
    pairs.write_text("# from a retrieval\nview1.png view2.png\n\nview2.png  view1.png\n")
    assert orvo.export.read_pairs(pairs) == [("view1.png", "view2.png"), ("view2.png", "view1.png")]
    assert orvo.export.hloc_matches(matches, pairs, features) == orvo.export.read_pairs(pairs)

    regions, strengths = orvo.detect(view1, strengths=True)
    with h5py.File(features, "r") as written:
        group = written["view1.png"]
        assert {name: (group[name].shape, group[name].dtype) for name in group} == {
            "keypoints": ((len(regions), 2), np.float32), "descriptors": ((128, len(regions)), np.float32),
            "scores": ((len(regions),), np.float32), "image_size": ((2,), np.int64),
            "scales": ((len(regions),), np.float32), "oris": ((len(regions),), np.float32),
            "lafs": ((len(regions), 2, 3), np.float32)}
        # The scores rank the regions: their strengths, not a constant.
        np.testing.assert_allclose(group["scores"][()], strengths, rtol=1e-6)
        assert group["scores"][()].min() >= 100 and np.ptp(group["scores"][()]) > 0
        # The full affine shape: the frames give the regions back.
        np.testing.assert_allclose(orvo.from_lafs(group["lafs"][()]), regions, rtol=1e-4, atol=1e-6)
        determinant = regions[:, 2] * regions[:, 4] - regions[:, 3] ** 2
        np.testing.assert_allclose(group["scales"][()], determinant ** -0.25, rtol=1e-5)

    with h5py.File(matches, "r") as written:
        # One pair, however often listed: a group for image 1 holding one for image 2.
        assert list(written) == ["view1.png"] and list(written["view1.png"]) == ["view2.png"]
        pair = written[orvo.export.hloc_pair_name("view1.png", "view2.png")]
        matches0, scores0 = pair["matches0"][()], pair["matching_scores0"][()]
    with h5py.File(features, "r") as written:
        keypoints1, keypoints2 = written["view1.png"]["keypoints"][()], written["view2.png"]["keypoints"][()]
    assert matches0.shape == scores0.shape == (len(keypoints1),)
    assert matches0.dtype == np.int32 and scores0.dtype == np.float32
    matched = matches0 >= 0
    assert np.all(matches0[~matched] == -1) and np.all(scores0[~matched] == 0)
    assert np.all(matches0[matched] < len(keypoints2)) and len(set(matches0[matched])) == matched.sum()
    assert np.all((scores0[matched] > 0.5) & (scores0[matched] <= 1))
    # Read as hloc reads them: pairs of keypoint indices; most agree with the true homography.
    indices = np.stack([np.flatnonzero(matched), matches0[matched]], axis=1)
    mapped = cv2.perspectiveTransform(keypoints1[indices[:, 0]][None].astype(np.float64), homography)[0]
    errors = np.linalg.norm(mapped - keypoints2[indices[:, 1]], axis=1)
    assert len(indices) >= 40 and np.mean(errors < 3) > 0.6

    # Pairs already there are skipped; a name the features lack is refused before the file is touched.
    before = matches.read_bytes()
    orvo.export.hloc_matches(matches, [("view2.png", "view1.png")], features)
    assert matches.read_bytes() == before
    with pytest.raises(ValueError, match="missing.png"):
        orvo.export.hloc_matches(tmp_path / "other.h5", [("view1.png", "missing.png")], features)
    assert not (tmp_path / "other.h5").exists()
    assert orvo.export.hloc_pair_name("a/b.png", "c/d.png") == "a-b.png/c-d.png"
    (tmp_path / "bad.txt").write_text("view1.png\n")
    with pytest.raises(ValueError, match="line 1"):
        orvo.export.read_pairs(tmp_path / "bad.txt")


def rendered_views(folder, count=4, width=480, height=360, focal=420.0):
    """Views of a textured ridge (two planes meeting at x = 0, z = 4 + 0.5 |x|) from cameras moving sideways and
    looking at (0, 0, 4): the image paths, the intrinsic matrix (pixel centres at integers) and each camera's
    world-to-camera rotation."""
    texture = textured_scene(seed=11, width=1200, height=900, shapes=5000)
    K = np.array([[focal, 0, (width - 1) / 2], [0, focal, (height - 1) / 2], [0, 0, 1]])
    u, v = np.meshgrid(np.arange(width, dtype=np.float64), np.arange(height, dtype=np.float64))
    paths, rotations = [], []
    for k in range(count):
        centre = np.array([-0.6 + 0.4 * k, 0.1 * k - 0.15, 0.0])
        forward = np.array([0.0, 0.0, 4.0]) - centre
        forward /= np.linalg.norm(forward)
        right = np.cross([0.0, 1.0, 0.0], forward)
        right /= np.linalg.norm(right)
        R = np.stack([right, np.cross(forward, right), forward])  # rows: the camera's axes in the world
        rays = np.einsum("ij,hwj->hwi", R.T @ np.linalg.inv(K), np.stack([u, v, np.ones_like(u)], axis=2))
        # The ridge: z = 4 + s x for x >= 0 and 4 - s x for x < 0, whichever the ray meets on its own side.
        s, point = 0.5, None
        for sign in (1, -1):
            t = (4 + sign * s * centre[0] - centre[2]) / (rays[..., 2] - sign * s * rays[..., 0])
            candidate = centre + t[..., None] * rays
            on_side = (sign * candidate[..., 0] >= 0) & (t > 0)
            point = np.where(on_side[..., None], candidate, point) if point is not None else \
                np.where(on_side[..., None], candidate, np.nan)
        # Texture: 120 pixels per unit of x and y, centred.
        map_x = (point[..., 0] * 120 + 600).astype(np.float32)
        map_y = (point[..., 1] * 120 + 450).astype(np.float32)
        view = cv2.remap(texture, map_x, map_y, cv2.INTER_LINEAR, borderValue=128)
        paths.append(folder / f"view{k}.png")
        cv2.imwrite(str(paths[-1]), view)
        rotations.append(R)
    return paths, K, rotations


def rotation_angle(R):
    return np.degrees(np.arccos(np.clip((np.trace(R) - 1) / 2, -1, 1)))


@pytest.mark.skipif(shutil.which("colmap") is None, reason="colmap is not installed")
def test_colmap_mapper_on_a_pairs_list_with_known_intrinsics(tmp_path, capsys):
    images = tmp_path / "images"
    images.mkdir()
    paths, K, rotations = rendered_views(images)
    # Neighbouring views only, as a sequential capture would be paired.
    pairs = tmp_path / "pairs.txt"
    pairs.write_text("".join(f"view{k}.png view{k + 1}.png\n" for k in range(len(paths) - 1)))
    known = (K[0, 0], K[1, 1], K[0, 2] + 0.5, K[1, 2] + 0.5)  # COLMAP's principal point: pixel centres at +0.5
    database = tmp_path / "scene.db"
    ids = orvo.export.colmap_database(database, paths, camera_model="PINHOLE", camera_params=known,
                                      single_camera=True, match=True, pairs=pairs, dense=True, threads=2)
    assert capsys.readouterr().err == ""  # no progress when standard error is not a terminal
    with sqlite3.connect(database) as connection:
        cameras = connection.execute("SELECT model, width, height, params, prior_focal_length FROM cameras").fetchall()
        stored_pairs = {row[0] for row in connection.execute("SELECT pair_id FROM two_view_geometries")}
    assert len(cameras) == 1 and cameras[0][:3] == (1, 480, 360) and cameras[0][4] == 1
    np.testing.assert_allclose(np.frombuffer(cameras[0][3]), known)
    expected_pairs = {orvo.export.pair_id(ids[f"view{k}.png"], ids[f"view{k + 1}.png"]) for k in range(3)}
    assert stored_pairs == expected_pairs

    sparse, text = tmp_path / "sparse", tmp_path / "text"
    sparse.mkdir()
    text.mkdir()
    done = colmap("mapper", "--database_path", str(database), "--image_path", str(images), "--output_path",
                  str(sparse), "--Mapper.ba_refine_focal_length", "0", "--Mapper.ba_refine_principal_point", "0",
                  "--Mapper.ba_refine_extra_params", "0", "--Mapper.num_threads", "2")
    assert done.returncode == 0, done.stderr
    done = colmap("model_converter", "--input_path", str(sparse / "0"), "--output_path", str(text),
                  "--output_type", "TXT")
    assert done.returncode == 0, done.stderr
    # images.txt: two lines per image, the first "ID QW QX QY QZ TX TY TZ CAMERA_ID NAME".
    lines = [line for line in (text / "images.txt").read_text().splitlines() if not line.startswith("#")]
    poses = {}
    for line in lines[::2]:
        fields = line.split()
        w, x, y, z = map(float, fields[1:5])
        poses[fields[9]] = np.array([
            [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
            [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
            [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])
    assert sorted(poses) == [path.name for path in paths]  # every view registered
    camera_line = [line for line in (text / "cameras.txt").read_text().splitlines() if not line.startswith("#")]
    np.testing.assert_allclose([float(value) for value in camera_line[0].split()[4:]], known)
    # The relative rotations are the true ones.
    for k in range(1, len(paths)):
        estimated = poses[f"view{k}.png"] @ poses["view0.png"].T
        true = rotations[k] @ rotations[0].T
        assert rotation_angle(estimated @ true.T) < 1.0, k


def test_regions_too_thin_to_describe_are_left_out_of_the_exports(tmp_path):
    pytest.importorskip("h5py")
    rows, cols = np.indices((45, 60))
    stripes = np.where(((rows + cols) // 2) % 2 == 1, 230, 20).astype(np.uint8)  # diagonal stripes 2 px wide
    cv2.imwrite(str(tmp_path / "stripes.png"), stripes)
    options = dict(threshold=0, min_area=0, edge_step=2, subpixel_edges=True, exact_hull=True)
    regions = orvo.detect(stripes, **options)
    describable = orvo._orvo.describable_regions(regions, 3.0)
    assert 0 < describable.sum() < len(regions)  # the case is there
    names = orvo.export.colmap_database(tmp_path / "stripes.db", [tmp_path / "stripes.png"], threads=1, **options)
    assert list(names) == ["stripes.png"]
    with sqlite3.connect(tmp_path / "stripes.db") as connection:
        assert connection.execute("SELECT rows FROM keypoints").fetchone()[0] == describable.sum()
    orvo.export.hloc_h5(tmp_path / "stripes.h5", [tmp_path / "stripes.png"], threads=1, **options)


def test_pairs_by_sequence_and_by_retrieval():
    assert orvo.export.sequential_pairs(["a", "b", "c", "d"], 2) == [("a", "b"), ("a", "c"), ("b", "c"), ("b", "d"),
                                                                     ("c", "d")]
    assert orvo.export.sequential_pairs(["a", "b"], 5) == [("a", "b")]
    # Three places seen three times each: an image's descriptors are drawn from the words of its place, with
    # noise; the two other images of its place are its nearest.
    rng = np.random.default_rng(3)
    places = [rng.integers(0, 256, (60, 128)) for _ in range(3)]
    descriptors = {}
    for view in range(3):
        for place, words in enumerate(places):
            drawn = words[rng.integers(0, len(words), 400)] + rng.normal(0, 8, (400, 128))
            descriptors[f"{place}-{view}"] = np.clip(drawn, 0, 255).astype(np.uint8)
    pairs = orvo.export.retrieval_pairs(descriptors, 2, words=64)
    assert all(first.split("-")[0] == second.split("-")[0] for first, second in pairs)
    assert len(pairs) == 9  # each place's three pairs, each once
    assert all(list(descriptors).index(first) < list(descriptors).index(second) for first, second in pairs)
    assert orvo.export.retrieval_pairs(descriptors, 2, words=64) == pairs
    assert len(orvo.export.retrieval_pairs(descriptors, 20)) == 36  # at most every pair
    for call in (lambda: orvo.export.retrieval_pairs(descriptors, 0), lambda: orvo.export.sequential_pairs("ab", 0),
                 lambda: orvo.export.retrieval_pairs({"a": np.zeros((3, 4)), "b": np.zeros((3, 5))}, 1)):
        with pytest.raises(ValueError):
            call()


def test_matches_of_retrieved_pairs_stored_alike_for_any_thread_count(tmp_path):
    images = tmp_path / "images"
    images.mkdir()
    paths = rendered_views(images)[0]
    stored = []
    for threads in (1, 2):
        database = tmp_path / f"threads{threads}.db"
        orvo.export.colmap_database(database, paths, match=True, neighbours=1, dense=True, threads=threads)
        with sqlite3.connect(database) as connection:
            stored.append([connection.execute(f"SELECT * FROM {table}").fetchall()
                           for table in ("matches", "two_view_geometries", "keypoints")])
    # Each of the four views with its nearest: fewer than the six pairs of all, at least two.
    assert 2 <= len(stored[0][1]) < 6
    assert stored[1] == stored[0]
    # Split, no track of the verified matches reaches an image twice.
    split = tmp_path / "split.db"
    ids = orvo.export.colmap_database(split, paths, match=True, dense=True, split_tracks=True, threads=2)
    names = {image_id: name for name, image_id in ids.items()}
    with sqlite3.connect(split) as connection:
        verified = [orvo.tracks.Match(*(names[i] for i in divmod(pair, 2147483647)), *np.frombuffer(data, np.uint32)
                                      .reshape(rows, 2).T, None)
                    for pair, rows, data in connection.execute("SELECT pair_id, rows, data FROM two_view_geometries")]
    found = orvo.tracks.tracks(verified)
    assert sum(len(m.index1) for m in verified) > 100 and max(len(t) for t in found) >= 3
    assert all(len({name for name, _ in t}) == len(t) for t in found)
    with pytest.raises(ValueError, match="neighbours"):
        orvo.export.colmap_database(tmp_path / "none.db", paths, match=True, pairs=[], neighbours=1)
