// The detector's and the matcher's options between Python and the library,
// walked from the option tables: a dict of every option (options_dict), and
// options from a preset and the keyword values a caller gave, each value
// checked strictly against its option's kind (TypeError) and range
// (ValueError), naming the option.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <vector>

#include "library/option_table.h"
#include "orvo/detector.h"
#include "orvo/match.h"

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

inline bool is_python_bool(const pybind11::handle& value)
{
    return pybind11::isinstance<pybind11::bool_>(value) ||
           pybind11::isinstance(value, pybind11::module_::import("numpy").attr("bool_"));
}

inline bool is_python_integer(const pybind11::handle& value)
{
    if (is_python_bool(value)) return false;
    return pybind11::isinstance<pybind11::int_>(value) ||
           pybind11::isinstance(value, pybind11::module_::import("numpy").attr("integer"));
}

inline bool is_python_real(const pybind11::handle& value)
{
    if (is_python_bool(value)) return false;
    return is_python_integer(value) || pybind11::isinstance<pybind11::float_>(value) ||
           pybind11::isinstance(value, pybind11::module_::import("numpy").attr("floating"));
}

[[noreturn]] inline void wrong_type(const std::string& caller, const char* name, const char* needed,
                                    const pybind11::handle& value)
{
    throw pybind11::type_error(caller + ": " + name + " must be " + needed + ", not " +
                               std::string(pybind11::str(value.get_type().attr("__name__"))) + " " +
                               std::string(pybind11::repr(value)));
}

// A Python integer as an int, or ValueError when it leaves int's range.
inline int whole_of(const std::string& caller, const char* name, const pybind11::handle& value)
{
    if (!is_python_integer(value)) wrong_type(caller, name, "an integer", value);
    const pybind11::int_ number(pybind11::reinterpret_borrow<pybind11::object>(value));
    if (number < pybind11::int_(-(1LL << 31)) || number >= pybind11::int_(1LL << 31))
        throw pybind11::value_error(caller + ": " + name + " " + std::string(pybind11::str(value)) +
                                    " is out of range");
    return number.cast<int>();
}

// Sets one option from a Python value.
template <class Options>
void set_from_python(const option_entry<Options>& option, const pybind11::handle& value, Options& options,
                     const std::string& caller)
{
    std::visit(
        [&](auto member) {
            auto& field = options.*member;
            using Value = std::decay_t<decltype(field)>;
            if constexpr (std::is_same_v<Value, double>) {
                if (!is_python_real(value)) wrong_type(caller, option.name, "a real number", value);
                field = pybind11::float_(pybind11::reinterpret_borrow<pybind11::object>(value)).cast<double>();
            } else if constexpr (std::is_same_v<Value, int>) {
                field = whole_of(caller, option.name, value);
            } else if constexpr (std::is_same_v<Value, bool>) {
                if (!is_python_bool(value)) wrong_type(caller, option.name, "True or False", value);
                field = pybind11::cast<bool>(pybind11::bool_(pybind11::reinterpret_borrow<pybind11::object>(value)));
            } else if constexpr (std::is_same_v<Value, GeometricModel>) {
                if (!pybind11::isinstance<pybind11::str>(value)) wrong_type(caller, option.name, "a str", value);
                try {
                    field = geometric_model(value.cast<std::string>());
                } catch (const std::invalid_argument& e) {
                    throw pybind11::value_error(caller + ": " + e.what());
                }
            } else {
                const bool sequence = !pybind11::isinstance<pybind11::str>(value) &&
                                      !pybind11::isinstance<pybind11::bytes>(value) &&
                                      (pybind11::isinstance<pybind11::sequence>(value) ||
                                       pybind11::isinstance<pybind11::array>(value));
                if (!sequence) wrong_type(caller, option.name, "a sequence of integers", value);
                std::vector<int> values;
                const std::string each = std::string(option.name) + " values";
                for (const pybind11::handle item : value) values.push_back(whole_of(caller, each.c_str(), item));
                field = values;
            }
        },
        option.field);
}

// Every option of `table` under its name; lists as tuples.
template <class Options>
pybind11::dict dict_of(const std::vector<option_entry<Options>>& table, const Options& options)
{
    pybind11::dict d;
    for (const option_entry<Options>& option : table)
        std::visit(
            [&](auto member) {
                const auto& value = options.*member;
                using Value = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Value, std::vector<int>>)
                    d[option.name] = pybind11::tuple(pybind11::cast(value));
                else if constexpr (std::is_same_v<Value, GeometricModel>)
                    d[option.name] = to_string(value);
                else
                    d[option.name] = value;
            },
            option.field);
    return d;
}

inline pybind11::dict options_dict(const DetectorOptions& o) { return dict_of(detector_option_table(), o); }

// Sets each option given, in the order given, an option replacing another as
// on the command line (a single edge_step replaces edge_steps). TypeError
// for an unknown option or a value of the wrong kind.
template <class Options>
void set_given(const std::vector<option_entry<Options>>& table, const pybind11::dict& given, Options& options,
               const std::string& caller)
{
    std::vector<std::string> unknown;
    for (const auto& item : given)
        if (!find_named(table, pybind11::str(item.first))) unknown.push_back(pybind11::str(item.first));
    if (!unknown.empty()) {
        std::sort(unknown.begin(), unknown.end());
        std::string names, known;
        for (const std::string& name : unknown) names += (names.empty() ? "" : ", ") + name;
        for (const option_entry<Options>& o : table) known += (known.empty() ? "" : ", ") + std::string(o.name);
        throw pybind11::type_error(caller + "() got unexpected keyword argument(s): " + names + " (options: " +
                                   known + ")");
    }
    for (const auto& [key, value] : given) {
        const option_entry<Options>& option = *find_named(table, pybind11::str(key));
        set_from_python(option, value, options, caller);
        if constexpr (std::is_same_v<Options, DetectorOptions>) apply_replacement(option, options);
    }
}

// The detector's options: the preset (the dense one or the defaults), then
// the values given, validated (ValueError naming an option out of range).
inline DetectorOptions detector_options_of(bool dense, const pybind11::dict& given, const std::string& caller)
{
    DetectorOptions options = dense ? DetectorOptions::dense() : DetectorOptions();
    set_given(detector_option_table(), given, options, caller);
    options.validate();
    return options;
}

// The matcher's own options from the values given (the detector's and the
// cameras' apart), not yet validated.
inline MatchOptions match_options_of(const pybind11::dict& given, const std::string& caller)
{
    MatchOptions options;
    set_given(match_option_table(), given, options, caller);
    return options;
}

inline pybind11::dict match_options_dict(const MatchOptions& o) { return dict_of(match_option_table(), o); }

// A dict holding every option, as options_dict gives it, as options.
inline DetectorOptions options_of_dict(const pybind11::dict& d)
{
    return detector_options_of(false, d, "options");
}

}  // namespace orvo::detail
