#!/usr/bin/env bash
# Sets the project up on a Debian machine, as root: installs the packages the
# build and the tests need (only those missing), builds the release tree in
# build/ and installs the executables onto PATH (/usr/local/bin), the library
# with its headers, CMake package and pkg-config file (/usr/local), and the
# Python module into the system Python (/usr/bin/python3). OpenBLAS is
# installed as a fresh Debian machine has it (it becomes the system BLAS that
# OpenCV loads), so that the tests run as they would there.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each phase says what it does, so that a long one (installing packages on a fresh machine, the first build) is
# seen to progress.
phase() { echo "== setup: $* ($(date +%H:%M:%S))"; }

packages=(cmake make g++ pkg-config libcgal-dev libgmp-dev libmpfr-dev libopencv-dev libx11-dev libjpeg-dev
          libpng-dev libgtest-dev xvfb xdotool clang libclang-rt-14-dev pybind11-dev python3-pybind11 python3-dev
          python3-numpy python3-opencv python3-pytest python3-matplotlib python3-h5py python3-distributed colmap
          sqlite3 locales libopenblas0-pthread chromium chromium-driver python3-selenium python3-venv python3-pip)
phase "checking ${#packages[@]} Debian packages"
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    phase "updating the package lists"
    apt-get update
    phase "installing ${#missing[@]} packages and their dependencies: ${missing[*]}"
    # apt's own progress (each package fetched, unpacked, set up) stays visible: on a fresh machine this takes
    # several minutes.
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
else
    phase "all packages present"
fi

# A locale with a decimal comma: the tests check that files are read and
# written the same under it.
if ! locale -a | grep -qix 'de_DE\.utf-\?8'; then
    phase "generating the de_DE.UTF-8 locale"
    localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi

phase "configuring the release build in build/"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
phase "building with $(nproc) jobs (the first build takes several minutes)"
cmake --build build -j "$(nproc)"
phase "installing into /usr/local and the system Python"
cmake --install build >/dev/null
ldconfig
phase "done"
