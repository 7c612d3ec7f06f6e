"""The build backend of the Python package orvo (PEP 517): configures and builds the compiled core with CMake for
the interpreter that runs it, then packs the core and the pure-Python modules into a wheel.

Only the standard library and the C++ build tools are used, so that a build needs no package index. The
package's version is the project's, read from the top CMakeLists.txt. The CMake build folder is
build/wheel-<interpreter tag> in the source tree (kept, so that a second build only compiles what changed), or
the ``build-dir`` config setting (``pip wheel . --config-settings build-dir=/tmp/b``). The environment's
CMAKE_BUILD_PARALLEL_LEVEL and CMAKE_CXX_COMPILER_LAUNCHER (for example ccache) apply as to any CMake build.
"""

import base64
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]
NAME = "orvo"
SUMMARY = "Affine-covariant local image features from the weighted alpha shape of image edges"
REQUIREMENTS = ["numpy"]
EXTRAS = {"hloc": ["h5py"], "dask": ["distributed"]}


def version():
    """The project's version, as its CMakeLists.txt declares it."""
    text = (SOURCE / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(\s*orvo\s+VERSION\s+([0-9][0-9.]*)", text)
    if not found:
        raise RuntimeError("no project(orvo VERSION ...) in CMakeLists.txt")
    return found.group(1)


def wheel_tag():
    """python-abi-platform of a wheel holding a compiled module for this interpreter."""
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    soabi = sysconfig.get_config_var("SOABI") or ""
    abi = "cp" + soabi.split("-")[1] if soabi.startswith("cpython-") else python
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-{abi}-{platform}"


def dist_info_name():
    return f"{NAME}-{version()}.dist-info"


def metadata():
    lines = ["Metadata-Version: 2.1", f"Name: {NAME}", f"Version: {version()}", f"Summary: {SUMMARY}",
             "Requires-Python: >=3.8"]
    lines += [f"Requires-Dist: {requirement}" for requirement in REQUIREMENTS]
    for extra, requirements in EXTRAS.items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"' for requirement in requirements]
    return "\n".join(lines) + "\n"


def wheel_file():
    return f"Wheel-Version: 1.0\nGenerator: orvo_backend\nRoot-Is-Purelib: false\nTag: {wheel_tag()}\n"


def build_folder(config_settings):
    given = (config_settings or {}).get("build-dir")
    return Path(given).resolve() if given else SOURCE / "build" / f"wheel-{wheel_tag()}"


def build_core(folder):
    """Configures (once) and builds the Python module for this interpreter; the package folder it is in."""
    configure = ["cmake", "-S", str(SOURCE), "-B", str(folder), "-DCMAKE_BUILD_TYPE=Release",
                 f"-DPython_EXECUTABLE={sys.executable}", "-DORVO_TESTS=OFF", "-DORVO_BENCH=OFF", "-DORVO_PYTHON=ON",
                 # The module links the library statically and finds the rest on the system's paths.
                 "-DCMAKE_SKIP_RPATH=ON"]
    build = ["cmake", "--build", str(folder), "--target", "orvo_python"]
    if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
        build += ["-j", str(os.cpu_count() or 1)]
    for command in (configure, build):
        print("orvo:", " ".join(command), flush=True)
        subprocess.run(command, check=True, stdout=sys.stderr)
    return folder / "python" / "package" / NAME


def package_files(package):
    """(path in the wheel, file) of the package's modules, its data (the inspector's page) and compiled core,
    without caches."""
    files = []
    for path in sorted(package.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix in (".py", ".so", ".html"):
            files.append((f"{NAME}/{path.relative_to(package).as_posix()}", path))
    if not any(name.endswith(".so") for name, _ in files):
        raise RuntimeError(f"the build left no compiled module in {package}")
    return files


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


# The PEP 517 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = Path(metadata_directory) / dist_info_name()
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "METADATA").write_text(metadata(), encoding="utf-8")
    (folder / "WHEEL").write_text(wheel_file(), encoding="utf-8")
    return folder.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    package = build_core(build_folder(config_settings))
    name = f"{NAME}-{version()}-{wheel_tag()}.whl"
    dist_info = dist_info_name()
    contents = [(path_in_wheel, file.read_bytes()) for path_in_wheel, file in package_files(package)]
    contents += [(f"{dist_info}/METADATA", metadata().encode()), (f"{dist_info}/WHEEL", wheel_file().encode())]
    record = [record_line(path_in_wheel, data) for path_in_wheel, data in contents] + [f"{dist_info}/RECORD,,"]
    with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path_in_wheel, data in contents:
            info = zipfile.ZipInfo(path_in_wheel, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if path_in_wheel.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
        wheel.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")
    return name
