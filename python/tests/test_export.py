"""Exports: a COLMAP database that Debian's colmap matches and verifies, and an hloc feature file."""

import os
import shutil
import sqlite3
import subprocess

import numpy as np
import pytest

import orvo
import orvo.export

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
