"""Exports: a COLMAP database that Debian's colmap matches and verifies, with the cameras colmap itself makes, and
an hloc feature file that survives a kill."""

import os
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

from conftest import textured_scene

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
    assert columns(database) == columns(reference)

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
