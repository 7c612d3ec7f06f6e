// Regions between numpy and the library: (N, 5) float64 arrays of rows
// x y a b c, for every binding file of the module.
#pragma once

#include <pybind11/numpy.h>

#include <vector>

#include "orvo/region.h"

namespace orvo::detail {

using RegionArray = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

inline std::vector<orvo::Region> regions_from_array(const RegionArray& array)
{
    if (array.ndim() != 2 || array.shape(1) != 5)
        throw pybind11::value_error("regions must be an (N, 5) array of rows x y a b c");
    std::vector<orvo::Region> regions(static_cast<std::size_t>(array.shape(0)));
    const double* values = array.data();
    for (orvo::Region& r : regions) {
        r = {values[0], values[1], values[2], values[3], values[4]};
        values += 5;
    }
    return regions;
}

inline pybind11::array_t<double> array_from_regions(const std::vector<orvo::Region>& regions)
{
    pybind11::array_t<double> array({static_cast<pybind11::ssize_t>(regions.size()), pybind11::ssize_t(5)});
    double* values = array.mutable_data();
    for (const orvo::Region& r : regions) {
        values[0] = r.x, values[1] = r.y, values[2] = r.a, values[3] = r.b, values[4] = r.c;
        values += 5;
    }
    return array;
}

}  // namespace orvo::detail
