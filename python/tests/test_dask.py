"""orvo.dask.extract on a local two-process cluster writes, byte for byte, what orvo-batch writes."""

import os
import subprocess

import cv2
import numpy as np
import pytest

import orvo.dask

distributed = pytest.importorskip("dask.distributed")


@pytest.fixture(scope="module")
def batch_executable():
    executable = os.path.join(os.path.dirname(os.environ.get("ORVO_EXECUTABLE", "")), "orvo-batch")
    if not os.access(executable, os.X_OK):
        pytest.skip("no orvo-batch beside ORVO_EXECUTABLE")
    return executable


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as dask_client:
            yield dask_client


def blobs(seed, width, height):
    """Filled discs and squares of random grey levels on a flat background: several regions each."""
    rng = np.random.default_rng(seed)
    image = np.full((height, width), 128, np.uint8)
    for i in range(10):
        x, y, r = int(rng.integers(20, width - 20)), int(rng.integers(20, height - 20)), int(rng.integers(6, 20))
        level = int(rng.integers(0, 60)) if rng.random() < 0.5 else int(rng.integers(190, 256))
        if i % 2:
            cv2.circle(image, (x, y), r, level, -1)
        else:
            cv2.rectangle(image, (x - r, y - r), (x + r, y + r), level, -1)
    return image


def tree(folder):
    folder = os.fsencode(folder)
    return {os.path.relpath(os.path.join(d, f), folder): open(os.path.join(d, f), "rb").read()
            for d, _, files in os.walk(folder) for f in files}


@pytest.mark.parametrize("options, extra", [
    ([], {}), (["--sift"], {}), (["--format", "colmap", "-t", "50"], {}), (["--dense"], {}),
    # Options given over the preset win the same way in both (a single edge step replaces the preset's steps).
    (["--dense", "--edge-step", "5", "--min-radius", "2", "--measurement-scale", "4", "--sift"],
     {"edge_step": 5, "min_radius": 2.0, "measurement_scale": 4.0})])
def test_extract_writes_what_orvo_batch_writes(tmp_path, client, batch_executable, options, extra):
    data = tmp_path / "data"
    (data / "sub").mkdir(parents=True)
    for k in range(7):
        cv2.imwrite(str(data / ("sub" if k % 3 == 2 else "") / f"img{k}.png"), blobs(k, 200 + 20 * k, 150 + 15 * k))
    (data / "sub" / "broken.png").write_bytes(b"not a png")
    # Names at the file system's limits: the longest whose outputs still fit, and one that is not UTF-8.
    image = (data / "img0.png").read_bytes()
    (data / ("n" * (255 - len(".png.orvo.sift")) + ".png")).write_bytes(image)
    with open(os.path.join(os.fsencode(data), b"\xe9t\xe9.png"), "wb") as latin1:
        latin1.write(image)
    ran = subprocess.run([batch_executable, "-q", "-o", str(tmp_path / "batch"), *options, str(data)],
                         capture_output=True, text=True)
    assert ran.returncode == 2, ran.stderr

    keywords = {"sift": "--sift" in options, "format": "colmap" if "colmap" in options else "orvo",
                "threshold": 50.0 if "-t" in options else None, "dense": "--dense" in options, **extra}
    summary = orvo.dask.extract(client, [str(data)], tmp_path / "dask", chunk_size=3, **keywords)
    assert summary["done"] == 9 and summary["skipped"] == 0
    assert [path for path, _ in summary["failed"]] == [str(data / "sub" / "broken.png")]
    assert summary["regions"] > 0
    assert tree(tmp_path / "dask") == tree(tmp_path / "batch")

    again = orvo.dask.extract(client, [str(data)], tmp_path / "dask", **keywords)
    assert (again["done"], again["skipped"], len(again["failed"])) == (0, 9, 1)


def test_extract_refuses_clashing_outputs_bad_options_and_other_options_outputs(tmp_path, client):
    image = tmp_path / "a" / "x.png"
    image.parent.mkdir()
    cv2.imwrite(str(image), blobs(1, 200, 150))
    with pytest.raises(ValueError, match="same output"):
        orvo.dask.extract(client, [str(image), str(tmp_path / "a")], tmp_path / "out")
    for bad in ({"format": "hdf5"}, {"scale": -1}, {"scale": 1e5}, {"scale": 1e-160}):
        with pytest.raises(ValueError):
            orvo.dask.extract(client, [str(image)], tmp_path / "out", **bad)
    assert not (tmp_path / "out").exists()

    # The options are recorded with the outputs: other ones are refused unless forced.
    assert orvo.dask.extract(client, [str(image)], tmp_path / "out")["done"] == 1
    with pytest.raises(ValueError, match="threshold 100, now 50"):
        orvo.dask.extract(client, [str(image)], tmp_path / "out", threshold=50)
    assert orvo.dask.extract(client, [str(image)], tmp_path / "out", threshold=50, force=True)["done"] == 1
    assert orvo.dask.extract(client, [str(image)], tmp_path / "out", threshold=50)["skipped"] == 1
