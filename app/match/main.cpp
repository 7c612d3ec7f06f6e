// orvo-match: the verified correspondences between two images. Detects and
// describes both, matches the descriptors and estimates a homography,
// fundamental or essential matrix from the regions' affine frames; prints a
// summary, and writes a drawing of the matches (-o), the result as JSON
// (--json) and the inspector's page of the matches (--html).
//
// Exit status: 0 when the run completed (with or without a model); 1 for a
// bad command line (outputs that are the same file as another or as an
// image among it) or when memory runs out; 2 when an image cannot be read
// or matched (a message says why) or an output cannot be written.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/inspector_page.h"
#include "app/output_paths.h"
#include "app/program.h"
#include "io/atomic_file.h"
#include "io/png_encoder.h"
#include "library/option_table.h"
#include "orvo/orvo.h"

namespace orvo::cli {

namespace {

// The usage text: the outputs, then the matcher's and the detector's
// options from their tables.
std::string usage()
{
    orvo::DetectorOptions detector_defaults = orvo::DetectorOptions::dense();
    detector_defaults.threads = default_threads();
    return "Usage: orvo-match IMAGE1 IMAGE2 [-o matches.png] [--json out.json] [--html page.html] [options]\n"
           " -o FILE                : draw both images side by side with the inlier matches (PNG)\n"
           " --json FILE            : write the model, counts, times and every tentative match\n"
           " --html FILE            : write the inspector's page of the matches (one\n"
           "                          self-contained file)\n"
           " --outliers             : draw the rejected matches too\n"
           " --draw-inliers N       : draw at most N inliers, spread evenly over them [default:\n"
           "                          all]\n"
           " --colour-by-error      : colour each drawn inlier by its error under the model\n"
           "                          (green 0 px, yellow, red 4 px and beyond)\n"
           " --K1 fx,fy,cx,cy       : camera 1's intrinsics, for --model essential (--K2: camera\n"
           "                          2's, default the same)\n" +
           orvo::detail::help_lines(orvo::detail::match_option_table(), orvo::MatchOptions()) +
           " --dense / --classic    : the dense preset (default) or the classic detector's\n"
           "                          settings; the options below change either\n"
           " -t T                   : selection threshold, as orvo's [default: the preset's]\n" +
           orvo::detail::help_lines(orvo::detail::detector_option_table(), detector_defaults);
}

struct match_command {
    std::string image1, image2, drawing, json, html;
    orvo::MatchDrawing drawing_options;
    orvo::MatchOptions options;

    // The outputs asked for, by option: none may be the same file as
    // another or as an image.
    std::vector<named_file> outputs() const { return {{"-o", drawing}, {"--json", json}, {"--html", html}}; }
};

int bad_command_line(const std::string& message)
{
    if (!message.empty()) std::cerr << "orvo-match: " << message << "\n";
    std::cerr << usage();
    return 1;
}

bool read_number(const char* text, double& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

// fx,fy,cx,cy as an intrinsic matrix.
bool read_intrinsics(const char* text, cv::Matx33d& K)
{
    std::vector<double> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        double value = 0;
        if (!read_number(item.c_str(), value)) return false;
        values.push_back(value);
    }
    if (values.size() != 4) return false;
    K = cv::Matx33d(values[0], 0, values[2], 0, values[1], values[3], 0, 0, 1);
    return true;
}

// Parses the command line into `command`; returns 0 to run, otherwise the
// exit status (after the message).
int parse(int argc, char** argv, match_command& command)
{
    std::vector<std::string> images;
    std::vector<char*> detector_args = {argv[0]};
    bool classic = false, K1_given = false, K2_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::cout << usage();
            return -1;
        }
        if (arg == "--outliers" || arg == "--colour-by-error") {
            command.drawing_options.outliers |= arg == "--outliers";
            command.drawing_options.colour_by_error |= arg == "--colour-by-error";
            continue;
        }
        if (arg == "--classic" || arg == "--dense") {
            classic = arg == "--classic";
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            if (i + 1 >= argc) return bad_command_line(arg + " needs a value");
            const char* value = argv[++i];
            bool good = true;
            if (arg == "-o")
                command.drawing = value;
            else if (arg == "--json")
                command.json = value;
            else if (arg == "--html")
                command.html = value;
            else if (arg == "--K1")
                good = K1_given = read_intrinsics(value, command.options.K1);
            else if (arg == "--K2")
                good = K2_given = read_intrinsics(value, command.options.K2);
            else if (arg == "--draw-inliers") {
                double number = 0;
                good = read_number(value, number) && number == std::floor(number) && number >= 1 && number <= 1e9;
                command.drawing_options.inliers = static_cast<std::size_t>(number);
            } else if (const orvo::detail::match_option* option = orvo::detail::find_match_flag(arg)) {
                const std::string problem = orvo::detail::set_option_text(*option, value, command.options);
                if (!problem.empty()) return bad_command_line(problem);
            } else if (arg == "-t" || is_detector_option(arg)) {
                detector_args.push_back(argv[i - 1]);
                detector_args.push_back(argv[i]);
            } else
                return bad_command_line("unknown option " + arg);
            if (!good) return bad_command_line("invalid value \"" + std::string(value) + "\" for " + arg);
            continue;
        }
        images.push_back(arg);
    }
    if (images.size() != 2) return bad_command_line(images.empty() && argc == 1 ? "" : "two images are needed");
    command.image1 = images[0];
    command.image2 = images[1];
    const std::string clash = output_clash(command.outputs(), {{"IMAGE1", command.image1}, {"IMAGE2", command.image2}});
    if (!clash.empty()) {
        std::cerr << "orvo-match: " << clash << ": nothing done: give each output its own file\n";
        return 1;
    }
    if (command.options.model == orvo::GeometricModel::essential && !K1_given)
        return bad_command_line("the essential matrix needs the intrinsics --K1 (and --K2 when the cameras differ)");
    if (!K2_given) command.options.K2 = command.options.K1;

    if (!classic) detector_args.insert(detector_args.begin() + 1, const_cast<char*>("--dense"));
    command_line detector;
    if (!parse_detector_options(static_cast<int>(detector_args.size()), detector_args.data(), detector))
        return bad_command_line("bad detector option");
    command.options.detector = detector.detector;
    try {
        command.options.validate();
    } catch (const std::invalid_argument& e) {
        return bad_command_line(e.what());
    }
    return 0;
}

void write_matrix(std::FILE* fp, const cv::Matx33d& m)
{
    std::fprintf(fp, "[");
    for (int r = 0; r < 3; ++r)
        std::fprintf(fp, "%s[%.17g, %.17g, %.17g]", r ? ", " : "", m(r, 0), m(r, 1), m(r, 2));
    std::fprintf(fp, "]");
}

// A match's points, affine map (rows), whether it was refined and its error.
void write_geometry(std::FILE* fp, const orvo::MatchResult& result, std::size_t k)
{
    const cv::Matx22d& L = result.affines[k];
    std::fprintf(fp,
                 ", \"point1\": [%.10g, %.10g], \"point2\": [%.10g, %.10g], \"affine\": [[%.10g, %.10g], "
                 "[%.10g, %.10g]], \"refined\": %s, \"error\": ",
                 result.points1[k].x, result.points1[k].y, result.points2[k].x, result.points2[k].y, L(0, 0), L(0, 1),
                 L(1, 0), L(1, 1), result.refined[k] ? "true" : "false");
    if (std::isfinite(result.errors[k]))
        std::fprintf(fp, "%.6g", result.errors[k]);
    else
        std::fprintf(fp, "null");
}

void write_json(std::FILE* fp, const match_command& command, const orvo::MatchResult& result)
{
    std::fprintf(fp, "{\n  \"image1\": %s,\n  \"image2\": %s,\n", json_string(command.image1).c_str(),
                 json_string(command.image2).c_str());
    std::fprintf(fp, "  \"model_type\": \"%s\",\n  \"model\": ", orvo::to_string(result.kind).c_str());
    if (result.model)
        write_matrix(fp, *result.model);
    else
        std::fprintf(fp, "null");
    const orvo::MatchCounts& n = result.counts;
    std::fprintf(fp,
                 ",\n  \"counts\": {\"regions1\": %zu, \"regions2\": %zu, \"tentative\": %zu, \"inliers\": %zu, "
                 "\"hypotheses\": %zu},\n",
                 n.regions1, n.regions2, n.tentative, n.inliers, n.hypotheses);
    const orvo::MatchTimes& t = result.times;
    std::fprintf(fp,
                 "  \"times_ms\": {\"detect\": %.3f, \"describe\": %.3f, \"match\": %.3f, \"verify\": %.3f, "
                 "\"refine\": %.3f},\n",
                 t.detect, t.describe, t.match, t.verify, t.refine);
    std::fprintf(fp, "  \"measurement_scale\": %.17g,\n", command.options.detector.measurement_scale);
    if (result.kind == orvo::GeometricModel::essential) {
        std::fprintf(fp, "  \"K1\": ");
        write_matrix(fp, command.options.K1);
        std::fprintf(fp, ",\n  \"K2\": ");
        write_matrix(fp, command.options.K2);
        std::fprintf(fp, ",\n");
    }
    std::fprintf(fp, "  \"matches\": [");
    for (std::size_t k = 0; k < result.index1.size(); ++k) {
        std::fprintf(fp, "%s\n    {\"index1\": %d, \"index2\": %d, \"inlier\": %s, \"distance\": %.9g, \"ratio\": %.9g, "
                     "\"region1\": ", k ? "," : "", result.index1[k], result.index2[k],
                     result.inliers[k] ? "true" : "false", result.distances[k], result.ratios[k]);
        write_json_region(fp, result.regions1[k]);
        std::fprintf(fp, ", \"region2\": ");
        write_json_region(fp, result.regions2[k]);
        write_geometry(fp, result, k);
        std::fprintf(fp, "}");
    }
    std::fprintf(fp, "\n  ]\n}\n");
}

bool write_output(const std::string& file, const std::function<void(std::FILE*)>& write)
{
    const std::string error = orvo::detail::write_file_atomically(file, write);
    if (error.empty()) return true;
    std::cerr << "orvo-match: unable to write " << file << ": " << error << "\n";
    return false;
}

int run(int argc, char** argv)
{
    match_command command;
    const int parsed = parse(argc, argv, command);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;

    cv::Mat image1, image2;
    try {
        image1 = orvo::read_image(command.image1);
        image2 = orvo::read_image(command.image2);
    } catch (const orvo::ImageError& e) {
        std::cerr << "orvo-match: " << e.what() << "\n";
        return 2;
    }
    const orvo::MatchResult result = orvo::match(image1, image2, command.options);

    const orvo::MatchCounts& n = result.counts;
    const orvo::MatchTimes& t = result.times;
    std::cout << command.image1 << ", " << command.image2 << ": " << n.regions1 << " and " << n.regions2
              << " regions, " << n.tentative << " tentative matches, " << n.inliers << " inliers ("
              << n.hypotheses << " hypotheses)\n";
    std::printf("times: detect %.0f ms, describe %.0f ms, match %.0f ms, verify %.0f ms, refine %.0f ms\n", t.detect,
                t.describe, t.match, t.verify, t.refine);
    if (result.model) {
        std::cout << orvo::to_string(result.kind) << ":\n";
        for (int r = 0; r < 3; ++r)
            std::printf("  %.10g %.10g %.10g\n", (*result.model)(r, 0), (*result.model)(r, 1), (*result.model)(r, 2));
    } else {
        std::cout << "no " << orvo::to_string(result.kind) << " found\n";
    }
    std::fflush(stdout);

    bool written = true;
    if (!command.drawing.empty()) {
        std::vector<unsigned char> png;
        std::string error =
            orvo::detail::encode_png(orvo::draw_matches(image1, image2, result, command.drawing_options), png);
        if (error.empty()) {
            written = write_output(command.drawing, [&](std::FILE* fp) { std::fwrite(png.data(), 1, png.size(), fp); });
        } else {
            std::cerr << "orvo-match: unable to write " << command.drawing << ": " << error << "\n";
            written = false;
        }
    }
    if (!command.json.empty())
        written = write_output(command.json, [&](std::FILE* fp) { write_json(fp, command, result); }) && written;
    if (!command.html.empty()) {
        std::vector<std::string> pictures;
        try {
            pictures = {jpeg_data_uri(image1), jpeg_data_uri(image2)};
        } catch (const std::runtime_error& e) {
            std::cerr << "orvo-match: unable to write " << command.html << ": " << e.what() << "\n";
            written = false;
        }
        if (!pictures.empty())
            written = write_output(command.html, [&](std::FILE* fp) {
                          write_inspector_page(fp, [&](std::FILE* data) { write_json(data, command, result); },
                                               pictures);
                      }) && written;
    }
    return written ? 0 : 2;
}

}  // namespace

}  // namespace orvo::cli

using namespace orvo::cli;

int main(int argc, char** argv)
{
    run_program("orvo-match", run, argc, argv, 2);
}
