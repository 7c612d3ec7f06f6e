// The detector's options between Python dicts and the library, for every
// binding file of the module: keyword values as options_dict gives them,
// and back.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "orvo/detector.h"

namespace orvo::detail {

// settings[key] as a T; TypeError naming the key otherwise.
template <class T>
T setting(const pybind11::dict& settings, const char* key)
{
    try {
        return settings[key].cast<T>();
    } catch (const pybind11::cast_error&) {
        throw pybind11::type_error(std::string(key) + ": not a " + pybind11::type_id<T>() + ": " +
                                   std::string(pybind11::repr(settings[key])));
    }
}

inline pybind11::dict options_dict(const orvo::DetectorOptions& o)
{
    pybind11::dict d;
    d["threshold"] = o.threshold;
    d["scale"] = o.scale;
    d["edge_step"] = o.edge_step;
    d["min_area_growth"] = o.min_area_growth;
    d["min_area"] = o.min_area;
    d["max_area"] = o.max_area;
    d["threads"] = o.threads;
    d["edge_steps"] = pybind11::tuple(pybind11::cast(o.edge_steps));
    d["duplicate_overlap"] = o.duplicate_overlap;
    d["pyramid_levels"] = o.pyramid_levels;
    d["pyramid_step"] = o.pyramid_step;
    d["min_radius"] = o.min_radius;
    d["subpixel_edges"] = o.subpixel_edges;
    d["exact_hull"] = o.exact_hull;
    d["edge_pixel_hull"] = o.edge_pixel_hull;
    d["measurement_scale"] = o.measurement_scale;
    return d;
}

// The options of a dict holding every key options_dict gives, not yet
// validated.
inline orvo::DetectorOptions options_of_dict(const pybind11::dict& d)
{
    orvo::DetectorOptions o;
    o.threshold = setting<double>(d, "threshold");
    o.scale = setting<double>(d, "scale");
    o.edge_step = setting<int>(d, "edge_step");
    o.min_area_growth = setting<double>(d, "min_area_growth");
    o.min_area = setting<double>(d, "min_area");
    o.max_area = setting<double>(d, "max_area");
    o.threads = setting<int>(d, "threads");
    o.edge_steps = setting<std::vector<int>>(d, "edge_steps");
    o.duplicate_overlap = setting<double>(d, "duplicate_overlap");
    o.pyramid_levels = setting<int>(d, "pyramid_levels");
    o.pyramid_step = setting<double>(d, "pyramid_step");
    o.min_radius = setting<double>(d, "min_radius");
    o.subpixel_edges = setting<bool>(d, "subpixel_edges");
    o.exact_hull = setting<bool>(d, "exact_hull");
    o.edge_pixel_hull = setting<bool>(d, "edge_pixel_hull");
    o.measurement_scale = setting<double>(d, "measurement_scale");
    return o;
}

}  // namespace orvo::detail
