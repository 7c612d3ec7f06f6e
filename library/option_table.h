// The options of the library's option records as tables: for each option its
// name (the field's, Python's keyword and the batch record's), its command-line
// flag, the field it sets, its range, its help and whether it changes what is
// detected. Validation, the command lines' parsing and help, Python's
// conversion and docstring, the batch record and the README's table are all
// made from these tables, so that an option is added by one line of a table
// (and the field it sets).
//
//   for (const auto& option : detector_option_table())
//       std::cout << option.name << " " << value_text(option, DetectorOptions()) << "\n";
#pragma once

#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "orvo/detector.h"
#include "orvo/match.h"

namespace orvo::detail {

// What an option's value is: a real number, a whole number, a switch, a list
// of whole numbers, or one of a few names.
enum class value_kind { number, whole, flag, whole_list, choice };

template <class Options>
using option_field = std::variant<double Options::*, int Options::*, bool Options::*, std::vector<int> Options::*,
                                  GeometricModel Options::*>;

// The values an option takes: a finite number from `low` to `high`, either
// bound left out when open; for a list, each of its values.
struct value_range {
    double low, high;
    bool low_open = false, high_open = false;
};

template <class Options>
struct option_entry {
    const char* name;        // the field's name: "min_area"
    const char* flag;        // on the command line: "--min-area"; nullptr for a classic option (-t, -s)
    option_field<Options> field;
    value_range range;
    const char* value_name;  // in the help: "A", "N", "0|1", "N,N,..."
    const char* help;
    // Whether the regions or their descriptors depend on the value (the batch
    // record holds these), or only how fast they come.
    bool shapes_output;
    // Another option that giving this one resets to its default: a single
    // edge step replaces a multi-scale detection's list.
    const char* replaces = nullptr;
};

using detector_option = option_entry<DetectorOptions>;
using match_option = option_entry<MatchOptions>;

const std::vector<detector_option>& detector_option_table();
// MatchOptions' own options (the detector's come from detector_option_table;
// the cameras' intrinsics K1 and K2 are matrices, given apart).
const std::vector<match_option>& match_option_table();

value_kind kind_of(const detector_option& option);
value_kind kind_of(const match_option& option);

// The option of `table` named `name` (its field's name), or given by the
// command-line flag `flag`; nullptr when there is none.
template <class Options>
const option_entry<Options>* find_named(const std::vector<option_entry<Options>>& table, const std::string& name)
{
    for (const option_entry<Options>& option : table)
        if (name == option.name) return &option;
    return nullptr;
}
template <class Options>
const option_entry<Options>* find_flagged(const std::vector<option_entry<Options>>& table, const std::string& flag)
{
    for (const option_entry<Options>& option : table)
        if (option.flag && flag == option.flag) return &option;
    return nullptr;
}

// The option named `name` (its field's name), or nullptr.
const detector_option* find_detector_option(const std::string& name);
const match_option* find_match_option(const std::string& name);
// The option set by command-line flag `flag`, or nullptr.
const detector_option* find_detector_flag(const std::string& flag);
const match_option* find_match_flag(const std::string& flag);

// "must be a whole number from 1 to 1000": the rule a value breaks.
std::string range_rule(value_kind kind, const value_range& range);
bool in_range(const value_range& range, double value);

// Throws std::invalid_argument "<prefix>::<name> <rule>" when the option's
// value in `options` is out of its range.
void check_option(const detector_option& option, const DetectorOptions& options);
void check_option(const match_option& option, const MatchOptions& options);

// The option's value as text: the shortest number that reads back, 1 or 0
// for a switch, "11,9" for a list ("none" when empty), a model's name.
std::string value_text(const detector_option& option, const DetectorOptions& options);
std::string value_text(const match_option& option, const MatchOptions& options);

// Sets the option from command-line text, read strictly (the whole text a
// number, a whole number for the whole kinds, 0 or 1 for a switch, a list
// such as 11,7). Returns the message naming the flag and the text for a
// value that cannot be read; empty when set. The range is checked later, by
// validate().
std::string set_option_text(const detector_option& option, const char* text, DetectorOptions& options);
std::string set_option_text(const match_option& option, const char* text, MatchOptions& options);

// After an option has been given: resets the option it replaces, if any.
void apply_replacement(const detector_option& option, DetectorOptions& options);

// "--min-area A           : smallest component area ... [default: 5]" lines,
// wrapped to 80 columns, for a usage text; `defaults` gives the defaults.
std::string help_lines(const std::vector<detector_option>& table, const DetectorOptions& defaults);
std::string help_lines(const std::vector<match_option>& table, const MatchOptions& defaults);

// The README's table of the command-line options: "| `--flag V` | help (default D) |" rows.
std::string markdown_rows(const std::vector<detector_option>& table, const DetectorOptions& defaults);
std::string markdown_rows(const std::vector<match_option>& table, const MatchOptions& defaults);

}  // namespace orvo::detail
