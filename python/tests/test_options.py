"""The detector's and the matcher's options as Python sees them: made from the library's tables, read only, each
one settable by keyword and checked strictly, presets and explicit options combined as on the command line."""

import subprocess

import numpy as np
import pytest

import orvo
from orvo import _orvo

from conftest import textured_scene


def test_every_option_of_the_table_is_a_keyword_with_its_default_and_documented():
    names = [name for name, *_ in _orvo.option_help()]
    assert list(orvo.DEFAULT_OPTIONS) == names == list(orvo.DENSE_OPTIONS)
    for name in names:
        assert f"``{name}``" in orvo.detect.__doc__
    for mapping in (orvo.DEFAULT_OPTIONS, orvo.DENSE_OPTIONS, orvo.MATCH_OPTIONS):
        with pytest.raises(TypeError):
            mapping["threshold"] = 1
    assert orvo.DEFAULT_OPTIONS["threshold"] == 100 and orvo.MATCH_OPTIONS["ransac_threshold"] == 6


@pytest.mark.parametrize("call, error, words", [
    (lambda: orvo.match("a.png", "b.png", max_iterations=2.9), TypeError, "max_iterations must be an integer"),
    (lambda: orvo.match("a.png", "b.png", max_iterations="5"), TypeError, "max_iterations must be an integer"),
    (lambda: orvo.match("a.png", "b.png", max_iterations=float("inf")), TypeError, "max_iterations"),
    (lambda: orvo.match("a.png", "b.png", max_iterations=10**12), ValueError, "max_iterations 1000000000000"),
    (lambda: orvo.match("a.png", "b.png", ratio="0.8"), TypeError, "ratio must be a real number"),
    (lambda: orvo.match("a.png", "b.png", model=3), TypeError, "model must be a str"),
    (lambda: orvo.match("a.png", "b.png", ransac_treshold=3), TypeError, "ransac_treshold"),
    (lambda: orvo.match_features(*[np.zeros((0, 5)), np.zeros((0, 128), np.uint8), np.zeros(0)] * 2, threads=2.5),
     TypeError, "threads must be an integer"),
    (lambda: orvo.match_features(*[np.zeros((0, 5)), np.zeros((0, 128), np.uint8), np.zeros(0)] * 2, threads=0),
     ValueError, "threads"),
    (lambda: orvo.detect(np.zeros((9, 9), np.uint8), subpixel_edges=1), TypeError, "True or False"),
    (lambda: orvo.detect(np.zeros((9, 9), np.uint8), pyramid_levels=np.float64(2)), TypeError, "pyramid_levels"),
])
def test_values_of_the_wrong_kind_or_range_are_refused_naming_the_option(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_explicit_options_win_over_the_preset_as_on_the_command_line(tmp_path, orvo_executable):
    import cv2

    image = textured_scene(seed=3, width=320, height=240, shapes=300)
    path = tmp_path / "scene.png"
    cv2.imwrite(str(path), image)
    regions = orvo.detect(image, dense=True, edge_step=5, min_area_growth=0.2)
    subprocess.run([orvo_executable, "-i", str(path), "--dense", "--edge-step", "5", "--min-area-growth", "0.2"],
                   check=True, capture_output=True)
    from_file = orvo.read_regions(str(path) + ".orvo")
    assert sorted(map(tuple, np.round(regions, 6))) == sorted(map(tuple, np.round(from_file, 6)))
    assert len(regions) != len(orvo.detect(image, dense=True))


def test_one_name_one_meaning_in_match(scene_views):
    path1, path2, _ = scene_views
    strict = orvo.match(path1, path2, ransac_threshold=1.0)
    loose = orvo.match(path1, path2, ransac_threshold=20.0)
    assert strict.counts["tentative"] == loose.counts["tentative"]
    fewer_regions = orvo.match(path1, path2, threshold=50)  # the detector's selection threshold
    assert fewer_regions.counts["regions1"] < strict.counts["regions1"]
