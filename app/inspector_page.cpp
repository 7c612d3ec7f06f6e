// Filling the inspector's page template: JSON text, base64 JPEG images, and
// the template's two marks replaced in one pass.
#include "app/inspector_page.h"

#include <cstring>
#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "app/inspector_template.h"
#include "io/jpeg_encoder.h"
#include "library/image_types.h"

namespace {

// The quality of the embedded pictures: photographs stay sharp at a fraction
// of a PNG's size (the Python package uses the same).
constexpr int JPEG_QUALITY = 90;

constexpr const char DATA_MARK[] = "@ORVO_DATA@";
constexpr const char IMAGES_MARK[] = "@ORVO_IMAGES@";

std::string base64(const std::vector<unsigned char>& bytes)
{
    static const char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        const unsigned value = static_cast<unsigned>(bytes[i]) << 16 | (left > 1 ? bytes[i + 1] << 8 : 0) |
                               (left > 2 ? bytes[i + 2] : 0);
        out += DIGITS[value >> 18 & 63];
        out += DIGITS[value >> 12 & 63];
        out += left > 1 ? DIGITS[value >> 6 & 63] : '=';
        out += left > 2 ? DIGITS[value & 63] : '=';
    }
    return out;
}

}  // namespace

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void write_json_region(std::FILE* fp, const orvo::Region& r)
{
    std::fprintf(fp, "[%.10g, %.10g, %.10g, %.10g, %.10g]", r.x, r.y, r.a, r.b, r.c);
}

std::string jpeg_data_uri(const cv::Mat& image)
{
    cv::Mat picture = orvo::detail::to_eight_bit(image, "the page's image");
    if (picture.channels() == 4) cv::cvtColor(picture, picture, cv::COLOR_BGRA2BGR);
    std::vector<unsigned char> jpeg;
    const std::string error = orvo::detail::encode_jpeg(picture, JPEG_QUALITY, jpeg);
    if (!error.empty()) throw std::runtime_error(error);
    return "data:image/jpeg;base64," + base64(jpeg);
}

void write_inspector_page(std::FILE* fp, const std::function<void(std::FILE*)>& write_data,
                          const std::vector<std::string>& image_uris)
{
    const std::string page = INSPECTOR_TEMPLATE;
    const std::size_t data = page.find(DATA_MARK);
    const std::size_t images = page.find(IMAGES_MARK, data);
    std::fwrite(page.data(), 1, data, fp);
    write_data(fp);
    const std::size_t middle = data + std::strlen(DATA_MARK);
    std::fwrite(page.data() + middle, 1, images - middle, fp);
    for (std::size_t k = 0; k < image_uris.size(); ++k)
        std::fprintf(fp, "%s%s", k ? "\n" : "", image_uris[k].c_str());
    const std::size_t rest = images + std::strlen(IMAGES_MARK);
    std::fwrite(page.data() + rest, 1, page.size() - rest, fp);
}

void write_region_data(std::FILE* fp, const std::string& image_name, const cv::Size& size, double measurement_scale,
                       const std::vector<orvo::Region>& regions)
{
    std::fprintf(fp, "{\"image\": {\"name\": %s, \"width\": %d, \"height\": %d},\n", json_string(image_name).c_str(),
                 size.width, size.height);
    std::fprintf(fp, "\"measurement_scale\": %.17g,\n\"regions\": [", measurement_scale);
    for (std::size_t k = 0; k < regions.size(); ++k) {
        std::fprintf(fp, "%s", k ? ",\n" : "\n");
        write_json_region(fp, regions[k]);
    }
    std::fprintf(fp, "]}\n");
}

bool names_same_file(const std::string& a, const std::string& b)
{
    if (a.empty() || b.empty()) return false;
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) return true;
    return std::filesystem::weakly_canonical(a, error) == std::filesystem::weakly_canonical(b, error);
}
