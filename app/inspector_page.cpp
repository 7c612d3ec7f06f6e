// Filling the inspector's page template: JSON text, base64 JPEG images, and
// the template's two marks replaced in one pass.
#include "app/inspector_page.h"

#include <cstring>
#include <opencv2/imgproc.hpp>
#include <stdexcept>

#include "app/inspector_template.h"
#include "io/jpeg_encoder.h"
#include "library/image_types.h"

namespace orvo::cli {

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

}  // namespace

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
        } else if (c < 0x20 || c == '<' || length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", length == 0 ? 0xdc00u + c : c);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length == 0 ? 1 : length;
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

}  // namespace orvo::cli
