// The detector's options between Python dicts and the library, for every
// binding file of the module: keyword values as options_dict gives them,
// and back.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <type_traits>
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

// Calls visit(key, field) for every option, in the order of the dict's
// keys: the one list of the options both conversions walk.
template <class Options, class Visit>
void visit_options(Options& o, Visit visit)
{
    visit("threshold", o.threshold);
    visit("scale", o.scale);
    visit("edge_step", o.edge_step);
    visit("min_area_growth", o.min_area_growth);
    visit("min_area", o.min_area);
    visit("max_area", o.max_area);
    visit("threads", o.threads);
    visit("edge_steps", o.edge_steps);
    visit("duplicate_overlap", o.duplicate_overlap);
    visit("pyramid_levels", o.pyramid_levels);
    visit("pyramid_step", o.pyramid_step);
    visit("min_radius", o.min_radius);
    visit("subpixel_edges", o.subpixel_edges);
    visit("exact_hull", o.exact_hull);
    visit("edge_pixel_hull", o.edge_pixel_hull);
    visit("measurement_scale", o.measurement_scale);
}

// Every option under its key; the edge steps as a tuple.
inline pybind11::dict options_dict(const orvo::DetectorOptions& o)
{
    pybind11::dict d;
    visit_options(o, [&](const char* key, const auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::vector<int>>)
            d[key] = pybind11::tuple(pybind11::cast(value));
        else
            d[key] = value;
    });
    return d;
}

// The options of a dict holding every key options_dict gives, not yet
// validated.
inline orvo::DetectorOptions options_of_dict(const pybind11::dict& d)
{
    orvo::DetectorOptions o;
    visit_options(o, [&](const char* key, auto& field) { field = setting<std::decay_t<decltype(field)>>(d, key); });
    return o;
}

}  // namespace orvo::detail
