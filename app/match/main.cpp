// orvo-match: the verified correspondences between two images. Detects and
// describes both, matches the descriptors and estimates a homography,
// fundamental or essential matrix from the regions' affine frames; prints a
// summary, and writes a drawing of the matches (-o) and the result as JSON
// (--json).
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
#include "app/output_paths.h"
#include "app/program.h"
#include "io/atomic_file.h"
#include "io/png_encoder.h"
#include "orvo/orvo.h"

namespace {

const char USAGE[] =
    "Usage: orvo-match IMAGE1 IMAGE2 [-o matches.png] [--json out.json] [options]\n"
    "  -o FILE              : draw both images side by side with the inlier matches (PNG)\n"
    "  --json FILE          : write the model, counts, times and every tentative match\n"
    "  --model M            : homography (default), fundamental or essential\n"
    "  --K1 fx,fy,cx,cy     : camera 1's intrinsics, for --model essential (--K2: camera 2's,\n"
    "                         default the same)\n"
    "  --ratio R            : ratio test of the descriptor matches, in (0, 1] (default 0.8)\n"
    "  --threshold PX       : largest point error of an inlier, pixels (default 6)\n"
    "  --confidence C       : in (0, 1) (default 0.999); --max-iterations N (default 10000)\n"
    "  --outliers           : draw the rejected matches too\n"
    "  --dense / --classic  : the dense preset (default) or the classic detector's settings\n"
    "  -t T, --threads N and orvo's other detector options (--edge-step, --edge-steps,\n"
    "  --min-area, --max-area, --duplicate-overlap, --pyramid-levels, --pyramid-step) as\n"
    "  orvo reads them\n";

struct match_command {
    std::string image1, image2, drawing, json;
    bool outliers = false;
    orvo::MatchOptions options;

    // The outputs asked for, by option: none may be the same file as
    // another or as an image.
    std::vector<named_file> outputs() const { return {{"-o", drawing}, {"--json", json}}; }
};

int bad_command_line(const std::string& message)
{
    if (!message.empty()) std::cerr << "orvo-match: " << message << "\n";
    std::cerr << USAGE;
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
            std::cout << USAGE;
            return -1;
        }
        if (arg == "--outliers") {
            command.outliers = true;
            continue;
        }
        if (arg == "--classic" || arg == "--dense") {
            classic = arg == "--classic";
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            if (i + 1 >= argc) return bad_command_line(arg + " needs a value");
            const char* value = argv[++i];
            double number = 0;
            const auto numeric = [&](double& field) {
                if (!read_number(value, number)) return false;
                field = number;
                return true;
            };
            bool good = true;
            if (arg == "-o")
                command.drawing = value;
            else if (arg == "--json")
                command.json = value;
            else if (arg == "--model") {
                try {
                    command.options.model = orvo::geometric_model(value);
                } catch (const std::invalid_argument& e) {
                    return bad_command_line(e.what());
                }
            } else if (arg == "--K1")
                good = K1_given = read_intrinsics(value, command.options.K1);
            else if (arg == "--K2")
                good = K2_given = read_intrinsics(value, command.options.K2);
            else if (arg == "--ratio")
                good = numeric(command.options.ratio);
            else if (arg == "--threshold")
                good = numeric(command.options.threshold);
            else if (arg == "--confidence")
                good = numeric(command.options.confidence);
            else if (arg == "--max-iterations") {
                good = read_number(value, number) && number == std::floor(number) && number >= 1 && number <= 1e9;
                command.options.max_iterations = static_cast<int>(number);
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
    command.options.threads = detector.detector.threads;
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

void write_region(std::FILE* fp, const orvo::Region& r)
{
    std::fprintf(fp, "[%.10g, %.10g, %.10g, %.10g, %.10g]", r.x, r.y, r.a, r.b, r.c);
}

// The length of the UTF-8 character that starts at text[i], or 0 when the
// bytes there are not one (a stray or missing continuation byte, an
// overlong form, a surrogate, or a code point beyond U+10FFFF).
std::size_t utf8_length(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
    const unsigned lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

// A JSON string of a file name: quotes, backslashes and control characters
// escaped, and each byte that is not part of a UTF-8 character written as
// the escape \udcXX of Python's surrogateescape (XX the byte), which
// os.fsencode turns back into the byte: the name is kept whole and the JSON
// stays valid.
std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8_length(text, i);
        char escaped[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", length == 0 ? 0xdc00u + c : c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length == 0 ? 1 : length;
    }
    return out + "\"";
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
    std::fprintf(fp, "  \"times_ms\": {\"detect\": %.3f, \"describe\": %.3f, \"match\": %.3f, \"verify\": %.3f},\n",
                 t.detect, t.describe, t.match, t.verify);
    std::fprintf(fp, "  \"matches\": [");
    for (std::size_t k = 0; k < result.index1.size(); ++k) {
        std::fprintf(fp, "%s\n    {\"index1\": %d, \"index2\": %d, \"inlier\": %s, \"region1\": ", k ? "," : "",
                     result.index1[k], result.index2[k], result.inliers[k] ? "true" : "false");
        write_region(fp, result.regions1[k]);
        std::fprintf(fp, ", \"region2\": ");
        write_region(fp, result.regions2[k]);
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
    std::printf("times: detect %.0f ms, describe %.0f ms, match %.0f ms, verify %.0f ms\n", t.detect, t.describe,
                t.match, t.verify);
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
        std::string error = orvo::detail::encode_png(orvo::draw_matches(image1, image2, result, command.outliers), png);
        if (error.empty()) {
            written = write_output(command.drawing, [&](std::FILE* fp) { std::fwrite(png.data(), 1, png.size(), fp); });
        } else {
            std::cerr << "orvo-match: unable to write " << command.drawing << ": " << error << "\n";
            written = false;
        }
    }
    if (!command.json.empty())
        written = write_output(command.json, [&](std::FILE* fp) { write_json(fp, command, result); }) && written;
    return written ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv)
{
    run_program("orvo-match", run, argc, argv, 2);
}
