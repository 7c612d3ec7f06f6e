// The tables of the detector's and the matcher's options, and what is made
// from them: range checks, values as text, command-line values, help lines
// and the README's rows.
#include "library/option_table.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "library/number_text.h"

namespace orvo::detail {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// Ranges that several options share.
constexpr value_range ANY_FINITE{-INF, INF};
constexpr value_range AT_LEAST_ZERO{0, INF};
constexpr value_range POSITIVE{0, INF, true};
constexpr value_range THREADS{1, 256};
constexpr value_range EDGE_STEP{1, 1000};

template <class Options>
value_kind kind_of_field(const option_field<Options>& field)
{
    constexpr value_kind kinds[] = {value_kind::number, value_kind::whole, value_kind::flag, value_kind::whole_list,
                                    value_kind::choice};
    return kinds[field.index()];
}

// The value as a number, for the range check; a list checks each value.
template <class Options>
std::vector<double> numbers_of(const option_entry<Options>& option, const Options& options)
{
    return std::visit(
        [&](auto member) -> std::vector<double> {
            using Value = std::decay_t<decltype(options.*member)>;
            if constexpr (std::is_same_v<Value, std::vector<int>>)
                return std::vector<double>((options.*member).begin(), (options.*member).end());
            else if constexpr (std::is_same_v<Value, GeometricModel>)
                return {};
            else
                return {static_cast<double>(options.*member)};
        },
        option.field);
}

template <class Options>
void check_in(const option_entry<Options>& option, const Options& options, const char* owner)
{
    for (const double value : numbers_of(option, options))
        if (!in_range(option.range, value))
            throw std::invalid_argument(std::string(owner) + "::" + option.name + " " +
                                        range_rule(kind_of_field(option.field), option.range));
}

std::string list_text(const std::vector<int>& values)
{
    std::string text;
    for (const int value : values) text += (text.empty() ? "" : ",") + std::to_string(value);
    return text.empty() ? "none" : text;
}

template <class Options>
std::string text_of(const option_entry<Options>& option, const Options& options)
{
    return std::visit(
        [&](auto member) -> std::string {
            const auto& value = options.*member;
            using Value = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<Value, std::vector<int>>)
                return list_text(value);
            else if constexpr (std::is_same_v<Value, GeometricModel>)
                return to_string(value);
            else if constexpr (std::is_same_v<Value, bool>)
                return value ? "1" : "0";
            else if constexpr (std::is_same_v<Value, int>)
                return std::to_string(value);
            else
                return shortest_text(value);
        },
        option.field);
}

std::string bad_value(const char* flag, const char* text, const char* needed)
{
    return std::string("Invalid value \"") + text + "\" for " + flag + ": " + needed + " is needed";
}

// The whole text as a finite number.
bool read_finite(const char* text, double& value)
{
    const char* end = text + std::char_traits<char>::length(text);
    return *text != '\0' && read_whole_number(text, end, value) && std::isfinite(value);
}

bool read_whole_value(const char* text, int& value)
{
    double number = 0;
    if (!read_finite(text, number) || number != std::floor(number) || std::fabs(number) >= 1e9) return false;
    value = static_cast<int>(number);
    return true;
}

template <class Options>
std::string set_text(const option_entry<Options>& option, const char* text, Options& options)
{
    return std::visit(
        [&](auto member) -> std::string {
            auto& field = options.*member;
            using Value = std::decay_t<decltype(field)>;
            if constexpr (std::is_same_v<Value, double>) {
                if (!read_finite(text, field)) return bad_value(option.flag, text, "a number");
            } else if constexpr (std::is_same_v<Value, int>) {
                if (!read_whole_value(text, field)) return bad_value(option.flag, text, "a whole number");
            } else if constexpr (std::is_same_v<Value, bool>) {
                if (std::string(text) != "0" && std::string(text) != "1") return bad_value(option.flag, text, "0 or 1");
                field = text[0] == '1';
            } else if constexpr (std::is_same_v<Value, GeometricModel>) {
                try {
                    field = geometric_model(text);
                } catch (const std::invalid_argument&) {
                    return bad_value(option.flag, text, "homography, fundamental or essential");
                }
            } else {
                std::vector<int> values;
                std::string rest = text;
                std::size_t comma = 0;
                do {
                    comma = rest.find(',');
                    int value = 0;
                    if (!read_whole_value(rest.substr(0, comma).c_str(), value))
                        return bad_value(option.flag, text, "a list of whole numbers such as 11,7");
                    values.push_back(value);
                    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
                } while (comma != std::string::npos);
                field = values;
            }
            return "";
        },
        option.field);
}

// `text` wrapped into lines of at most `width` characters, each after
// `indent` spaces but the first.
std::string wrapped(const std::string& text, std::size_t first_column, std::size_t width)
{
    std::string out, line;
    std::size_t column = first_column;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && column + line.size() + 1 + word.size() > width) {
            out += line + "\n" + std::string(first_column, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line + "\n";
}

template <class Options>
std::string help_of(const std::vector<option_entry<Options>>& table, const Options& defaults)
{
    constexpr std::size_t FLAG_WIDTH = 24;
    std::string text;
    for (const option_entry<Options>& option : table) {
        if (!option.flag) continue;
        std::string head = std::string(" ") + option.flag + " " + option.value_name;
        head.resize(std::max(head.size(), FLAG_WIDTH), ' ');
        // The default is one word, kept on one line: its space is put back
        // after wrapping.
        std::string line = head + ": " +
                           wrapped(std::string(option.help) + " [default:\x01" + text_of(option, defaults) + "]",
                                   head.size() + 2, 80);
        std::replace(line.begin(), line.end(), '\x01', ' ');
        text += line;
    }
    return text;
}

// A table cell's text: its bars escaped.
std::string escaped_pipes(const std::string& text)
{
    std::string out;
    for (const char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

template <class Options>
std::string rows_of(const std::vector<option_entry<Options>>& table, const Options& defaults)
{
    std::string rows;
    for (const option_entry<Options>& option : table)
        if (option.flag)
            rows += std::string("| `") + option.flag + " " + escaped_pipes(option.value_name) + "` | " +
                    escaped_pipes(option.help) + " (default " + text_of(option, defaults) + ") |\n";
    return rows;
}

}  // namespace

const std::vector<detector_option>& detector_option_table()
{
    using O = DetectorOptions;
    static const std::vector<detector_option> table = {
        {"threshold", nullptr, &O::threshold, ANY_FINITE, "T",
         "selection threshold: a component is kept when its area exceeds T times the alpha at which it merges",
         true},
        {"scale", nullptr, &O::scale, {MIN_SCALE, MAX_SCALE}, "S", "every region grown by S about its centre", true},
        {"edge_step", "--edge-step", &O::edge_step, EDGE_STEP, "N", "sample the edges every N pixels", true,
         "edge_steps"},
        {"edge_steps", "--edge-steps", &O::edge_steps, EDGE_STEP, "N,N,...",
         "one pass per edge step, their regions united and near-duplicates dropped", true},
        {"min_area_growth", "--min-area-growth", &O::min_area_growth, AT_LEAST_ZERO, "G",
         "a component is kept only when the one it merges into is larger by G times its area", true},
        {"min_area", "--min-area", &O::min_area, AT_LEAST_ZERO, "A",
         "smallest component area, in edge steps squared", true},
        {"max_area", "--max-area", &O::max_area, POSITIVE, "F",
         "largest region, as a fraction of the image area", true},
        {"threads", "--threads", &O::threads, THREADS, "N",
         "threads of one detection (the regions do not depend on it)", false},
        {"duplicate_overlap", "--duplicate-overlap", &O::duplicate_overlap, {0, 1}, "E",
         "with several passes, a region whose overlap error with one kept before it is below E is dropped", true},
        {"pyramid_levels", "--pyramid-levels", &O::pyramid_levels, {1, 16}, "N",
         "also detect on N - 1 reduced copies of the image, their regions mapped back", true},
        {"pyramid_step", "--pyramid-step", &O::pyramid_step, {1.1, 16}, "F",
         "the reduction from one copy to the next", true},
        {"min_radius", "--min-radius", &O::min_radius, AT_LEAST_ZERO, "R",
         "drop regions of radius below R pixels (of the copy they were found on)", true},
        {"subpixel_edges", "--subpixel-edges", &O::subpixel_edges, ANY_FINITE, "0|1",
         "edge points at their sub-pixel positions", true},
        {"exact_hull", "--exact-hull", &O::exact_hull, ANY_FINITE, "0|1",
         "ellipses from the exact hull, not its pixels", true},
        {"edge_pixel_hull", "--edge-pixel-hull", &O::edge_pixel_hull, ANY_FINITE, "0|1",
         "exact hulls widened to the edge pixels along them; with several passes only the regions kept by the "
         "near-duplicate test, which compares the hulls before they are widened",
         true},
        {"bgr_grey", "--bgr-grey", &O::bgr_grey, ANY_FINITE, "0|1",
         "colour made grey with OpenCV's weights for BGR (0: the first channel weighted as red, as always)", true},
        {"measurement_scale", "--measurement-scale", &O::measurement_scale, POSITIVE, "F",
         "regions grown by F before they are described (their measurement regions)", true},
    };
    return table;
}

const std::vector<match_option>& match_option_table()
{
    using O = MatchOptions;
    static const std::vector<match_option> table = {
        {"ratio", "--ratio", &O::ratio, {0, 1, true}, "R",
         "a match is kept when its descriptor distance is below R times the second nearest's", true},
        {"model", "--model", &O::model, ANY_FINITE, "M", "homography, fundamental or essential", true},
        {"ransac_threshold", "--ransac-threshold", &O::ransac_threshold, POSITIVE, "PX",
         "largest point error of an inlier, pixels", true},
        {"affine_threshold", "--affine-threshold", &O::affine_threshold, POSITIVE, "E",
         "largest relative error of an inlier's affine map against the model's", true},
        {"confidence", "--confidence", &O::confidence, {0, 1, true, true}, "P",
         "stop sampling when an all-inlier sample has been found with this probability", true},
        {"max_iterations", "--max-iterations", &O::max_iterations, {1, 1e8}, "N", "the most hypotheses tried", true},
        {"refine", "--refine", &O::refine, ANY_FINITE, "0|1",
         "refine each inlier by aligning the two patches, then fit the model again", true},
    };
    return table;
}

value_kind kind_of(const detector_option& option) { return kind_of_field(option.field); }
value_kind kind_of(const match_option& option) { return kind_of_field(option.field); }

const detector_option* find_detector_option(const std::string& name)
{
    return find_named(detector_option_table(), name);
}
const match_option* find_match_option(const std::string& name) { return find_named(match_option_table(), name); }
const detector_option* find_detector_flag(const std::string& flag)
{
    return find_flagged(detector_option_table(), flag);
}
const match_option* find_match_flag(const std::string& flag) { return find_flagged(match_option_table(), flag); }

bool in_range(const value_range& range, double value)
{
    if (!std::isfinite(value)) return false;
    return (range.low_open ? value > range.low : value >= range.low) &&
           (range.high_open ? value < range.high : value <= range.high);
}

std::string range_rule(value_kind kind, const value_range& range)
{
    const bool whole = kind == value_kind::whole || kind == value_kind::whole_list;
    const std::string number = whole ? "whole number" : "number";
    const std::string prefix = kind == value_kind::whole_list ? "must hold " + number + "s" : "must be a " + number;
    if (std::isinf(range.low) && std::isinf(range.high)) return "must be a finite number";
    if (std::isinf(range.high))
        return range.low == 0 && range.low_open ? "must be a positive finite number"
                                                : "must be a finite number of at least " + shortest_text(range.low);
    if (range.low_open || range.high_open)
        return prefix + " in " + (range.low_open ? "(" : "[") + shortest_text(range.low) + ", " +
               shortest_text(range.high) + (range.high_open ? ")" : "]");
    return prefix + " from " + shortest_text(range.low) + " to " + shortest_text(range.high);
}

void check_option(const detector_option& option, const DetectorOptions& options)
{
    check_in(option, options, "DetectorOptions");
}
void check_option(const match_option& option, const MatchOptions& options) { check_in(option, options, "MatchOptions"); }

std::string value_text(const detector_option& option, const DetectorOptions& options)
{
    return text_of(option, options);
}
std::string value_text(const match_option& option, const MatchOptions& options) { return text_of(option, options); }

std::string set_option_text(const detector_option& option, const char* text, DetectorOptions& options)
{
    return set_text(option, text, options);
}
std::string set_option_text(const match_option& option, const char* text, MatchOptions& options)
{
    return set_text(option, text, options);
}

void apply_replacement(const detector_option& option, DetectorOptions& options)
{
    if (!option.replaces) return;
    const detector_option& replaced = *find_detector_option(option.replaces);
    static const DetectorOptions defaults;
    std::visit([&](auto member) { options.*member = defaults.*member; }, replaced.field);
}

std::string help_lines(const std::vector<detector_option>& table, const DetectorOptions& defaults)
{
    return help_of(table, defaults);
}
std::string help_lines(const std::vector<match_option>& table, const MatchOptions& defaults)
{
    return help_of(table, defaults);
}

std::string markdown_rows(const std::vector<detector_option>& table, const DetectorOptions& defaults)
{
    return rows_of(table, defaults);
}
std::string markdown_rows(const std::vector<match_option>& table, const MatchOptions& defaults)
{
    return rows_of(table, defaults);
}

}  // namespace orvo::detail
