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

packages=(cmake make g++ pkg-config libcgal-dev libgmp-dev libmpfr-dev libopencv-dev libx11-dev libjpeg-dev
          libpng-dev libgtest-dev xvfb xdotool clang libclang-rt-14-dev pybind11-dev python3-pybind11 python3-dev
          python3-numpy python3-opencv python3-pytest python3-matplotlib python3-h5py python3-distributed colmap
          sqlite3 locales libopenblas0-pthread chromium chromium-driver python3-selenium)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A locale with a decimal comma: the tests check that files are read and
# written the same under it.
locale -a | grep -qix 'de_DE\.utf-\?8' || localedef -i de_DE -f UTF-8 de_DE.UTF-8

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)"
cmake --install build >/dev/null
ldconfig
