"""The README's commands, run: every fenced sh, bash, python, cpp and cmake block of README.md is run in a fresh
temporary folder holding small generated images under the names the README uses (photo.jpg, view1.png, photos/,
...), or checked against the script that runs it, or listed in NOT_RUN with the reason it cannot run in a test. A
block that fails reports its own text, so a README that has drifted from the code says where.

The executables are taken from beside ORVO_EXECUTABLE (the build tree's app/ under ctest), the module from
PYTHONPATH, and `python3` is this interpreter.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

from conftest import REPOSITORY, SAMPLE, textured_scene

README = REPOSITORY / "README.md"
CHECKED_LANGUAGES = ("sh", "bash", "python", "cpp", "cmake")
# Blocks that are not commands (file contents, usage synopses) are labelled text.
OTHER_LANGUAGES = ("text",)

# Blocks not run here, each found by a piece of its text, with the reason.
NOT_RUN = {
    "bash scripts/setup.sh && ctest": "the set-up and the whole suite, this test among it (.ci/run runs both)",
    "colmap mapper": "COLMAP's mapper needs photographs of a 3D scene; bench/colmap_reconstruct.py runs it on "
                     "../shared/data/multiview/herzjesu-p8",
    "venv/bin/pip install": "builds the whole library again for the wheel; .ci/run builds the wheel, installs it "
                            "into a fresh venv and runs the Python tests there",
}

# Text of a block replaced before it runs: what needs root, made local.
SUBSTITUTIONS = {
    "bash scripts/setup.sh && ": "",  # the set-up installs as root; the build tree's executables stand in
}

# Files that a block must leave behind, by a piece of its text (besides ending with status 0).
EXPECTED_OUTPUTS = {
    "orvo -i examples/sample.png": ["examples/sample.png.orvo"],
    "orvo -i photo.jpg -t 50 -save": ["photo.jpg.orvo", "photo.jpg.orvo.png", "photo.jpg.orvo.sift"],
    "orvo::detect": ["photo.jpg.orvo"],
    "cv2.imread(\"photo.jpg\")": ["photo.jpg.orvo", "regions.png"],
    "orvo-match view1.png": ["matches.png", "matches.json"],
    "orvo.match(": ["matches.png"],
    "orvo-batch photos": ["photos/a.jpg.orvo", "features/a.jpg.orvo.sift", "features/photos/c.jpg.orvo"],
    "orvo.export.colmap_database": ["scene.db", "features.h5"],
    "--make-sequence photo.jpg myseq": ["myseq/H1to2p", "report/results.csv"],
    "--html photo.html": ["photo.html", "matches.html", "matches-again.html"],
}


def readme_blocks():
    """(language, text) of every fenced block of the README, in order."""
    return re.findall(r"^```(\S*)\n(.*?)^```", README.read_text(encoding="utf-8"), re.MULTILINE | re.DOTALL)


def checked_blocks():
    return [(number, language, text) for number, (language, text) in enumerate(readme_blocks(), 1)
            if language in CHECKED_LANGUAGES]


def block_id(block):
    number, language, text = block
    return f"{number}-{language}-" + re.sub(r"\W+", "_", text.strip().splitlines()[0])[:40]


def listed(text, table):
    return [key for key in table if key in text]


def colour_scene(seed, width, height):
    grey = textured_scene(seed, width, height, shapes=width * height // 200)
    tint = np.array([0.8, 1.0, 1.2])
    return np.clip(cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR) * tint, 0, 255).astype(np.uint8)


def warped(image, homography):
    return cv2.warpPerspective(image, np.asarray(homography, dtype=np.float64), image.shape[1::-1],
                               borderValue=(128, 128, 128))


# The README's file names and what stands in for them.
TILT = [[0.9, 0.1, 20], [-0.08, 0.95, 15], [1e-4, 5e-5, 1]]
SHIFT = [[0.97, 0.03, 12], [-0.02, 0.98, 6], [5e-5, 0, 1]]
FILES = {
    "photo.jpg": lambda: colour_scene(3, 320, 240),
    "view1.png": lambda: colour_scene(1, 400, 300),
    "view2.png": lambda: warped(colour_scene(1, 400, 300), TILT),
    "photos/a.jpg": lambda: colour_scene(2, 320, 240),
    "photos/b.jpg": lambda: warped(colour_scene(2, 320, 240), SHIFT),
    "photos/c.jpg": lambda: warped(colour_scene(2, 320, 240), TILT),
}
LISTS = {"list.txt": ["photos/a.jpg", "photos/b.jpg", "photos/c.jpg"]}


@pytest.fixture(scope="module")
def readme_files(tmp_path_factory):
    """A folder with the files the README's commands name."""
    folder = tmp_path_factory.mktemp("readme_files")
    for name, make in FILES.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        assert cv2.imwrite(str(folder / name), make())
    for name, lines in LISTS.items():
        (folder / name).write_text("".join(line + "\n" for line in lines))
    (folder / "examples").mkdir()
    shutil.copyfile(SAMPLE, folder / "examples" / "sample.png")
    return folder


@pytest.fixture(scope="module")
def readme_environment(orvo_executable, tmp_path_factory):
    """The environment the blocks run in: the executables beside orvo and this interpreter as `python3` first on
    PATH, windows off screen."""
    tools = tmp_path_factory.mktemp("readme_tools")
    # A script, not a link: a virtual environment's interpreter finds its packages only when called by its own path.
    shim = tools / "python3"
    shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" "$@"\n')
    shim.chmod(0o755)
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", PYTHONDONTWRITEBYTECODE="1")
    # The blocks run in another folder: a relative PYTHONPATH would no longer find the module.
    environment["PYTHONPATH"] = os.pathsep.join(os.path.abspath(entry)
                                                for entry in environment.get("PYTHONPATH", "").split(os.pathsep) if entry)
    environment["PATH"] = os.pathsep.join([str(tools), str(Path(orvo_executable).resolve().parent),
                                           environment.get("PATH", "")])
    return environment


def compile_command(orvo_executable, source, program):
    """g++ for a program using the library: the build tree's, when orvo is one's, else the installed package."""
    library = Path(orvo_executable).resolve().parents[1] / "library"
    if (library / "liborvo.so").exists():
        flags = [f"-I{REPOSITORY / 'include'}", f"-L{library}", f"-Wl,-rpath,{library}", "-lorvo"]
        flags += shlex.split(subprocess.run(["pkg-config", "--cflags", "--libs", "opencv4"], check=True,
                                            capture_output=True, text=True).stdout)
    else:
        flags = shlex.split(subprocess.run(["pkg-config", "--cflags", "--libs", "orvo"], check=True,
                                           capture_output=True, text=True).stdout)
    return ["g++", "-std=c++17", "-O0", str(source), "-o", str(program)] + flags


def run_block(command, text, folder, environment):
    """Runs a block's command; a failure shows the block and what it printed."""
    try:
        done = subprocess.run(command, cwd=folder, env=environment, capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        pytest.fail(f"this README block did not end within 300 s:\n{text}")
    if done.returncode != 0:
        pytest.fail(f"this README block failed (status {done.returncode}):\n{text}\n--- command ---\n{command}\n"
                    f"--- standard output ---\n{done.stdout[-3000:]}\n--- standard error ---\n{done.stderr[-3000:]}")


def test_every_block_is_labelled_and_every_listing_is_used():
    blocks = readme_blocks()
    unlabelled = [text for language, text in blocks if language not in CHECKED_LANGUAGES + OTHER_LANGUAGES]
    assert not unlabelled, f"README blocks without a known language (sh, python, text, ...): {unlabelled}"
    texts = [text for _, _, text in checked_blocks()]
    for table in (NOT_RUN, SUBSTITUTIONS, EXPECTED_OUTPUTS):
        for key in table:
            matches = sum(key in text for text in texts)
            assert matches >= 1, f"{key!r} is listed here but no README block holds it any more"
    for key in NOT_RUN:
        assert sum(key in text for text in texts) == 1, f"{key!r} should pick out one README block"


@pytest.mark.parametrize("block", checked_blocks(), ids=block_id)
def test_readme_block(block, readme_files, readme_environment, orvo_executable, tmp_path):
    _, language, text = block
    reasons = [NOT_RUN[key] for key in listed(text, NOT_RUN)]
    if reasons:
        pytest.skip(f"not run here: {reasons[0]}")
    if language == "cmake":
        # .ci/run builds examples/match against the installed package: the README's lines must be its lines.
        script = (REPOSITORY / "examples" / "match" / "CMakeLists.txt").read_text()
        for line in text.strip().splitlines():
            assert line in script.splitlines(), f"this README line is not in examples/match/CMakeLists.txt: {line}"
        return
    folder = tmp_path / "work"
    shutil.copytree(readme_files, folder)
    runnable = text
    for old, new in SUBSTITUTIONS.items():
        runnable = runnable.replace(old, new)
    if language in ("sh", "bash"):
        (folder / "block.sh").write_text("set -e -o pipefail\n" + runnable)
        run_block(["bash", "block.sh"], text, folder, readme_environment)
    elif language == "python":
        (folder / "block.py").write_text(runnable)
        run_block([sys.executable, "block.py"], text, folder, readme_environment)
    else:
        (folder / "program.cpp").write_text(runnable)
        run_block(compile_command(orvo_executable, folder / "program.cpp", folder / "program"), text, folder,
                  readme_environment)
        run_block([str(folder / "program")], text, folder, readme_environment)
    for key in listed(text, EXPECTED_OUTPUTS):
        missing = [name for name in EXPECTED_OUTPUTS[key] if not (folder / name).exists()]
        assert not missing, f"this README block did not write {missing}:\n{text}"
