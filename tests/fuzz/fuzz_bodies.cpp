// Bodies of the fuzz targets.
#include "tests/fuzz/fuzz_bodies.h"

#include <cctype>
#include <clocale>

#include "io/image_header.h"
#include "io/image_input.h"
#include "library/region_text.h"
#include "orvo/orvo.h"

using namespace orvo::detail;

std::string detection_input_fault(const std::uint8_t* data, std::size_t size)
{
    // Small images only: the fuzzer looks for faults, not for large inputs.
    constexpr std::size_t max_pixels = std::size_t(1) << 18;
    const image_read read = decode_image(data, size, max_pixels);
    // The header alone decides the pixel limit, so it must tell the size
    // that the decoders find.
    const image_header header = read_image_header(data, size);
    if (header.complete && header.width <= max_pixels && header.height <= max_pixels &&
        header.width * header.height > max_pixels && read.failure != image_failure::too_large)
        return "a header above the pixel limit was not refused";
    if (read.failure != image_failure::none) {
        if (!read.image.empty() || read.reason.empty()) return "a refusal without its reason, or with pixels";
        return {};
    }
    if (std::uint64_t(read.image.cols) != header.width || std::uint64_t(read.image.rows) != header.height)
        return "decoded " + std::to_string(read.image.cols) + " x " + std::to_string(read.image.rows) +
               ", but the header tells " + std::to_string(header.width) + " x " + std::to_string(header.height);
    for (const orvo::Region& r : orvo::detect(read.image)) {
        if (!orvo::is_valid(r)) return "a region that is not a valid ellipse";
        if (!(r.x >= 0 && r.x <= read.image.cols - 1 && r.y >= 0 && r.y <= read.image.rows - 1))
            return "a region centred outside the image";
    }
    return {};
}

namespace {

// Whether a refusal begins "fuzz:LINE: ".
bool names_file_and_line(const std::string& message)
{
    const std::string prefix = "fuzz:";
    if (message.rfind(prefix, 0) != 0) return false;
    std::size_t end = prefix.size();
    while (end < message.size() && std::isdigit(static_cast<unsigned char>(message[end]))) ++end;
    return end > prefix.size() && message.compare(end, 2, ": ") == 0;
}

}  // namespace

std::string region_input_fault(const std::uint8_t* data, std::size_t size)
{
    using orvo::detail::parse_region_text;
    std::vector<orvo::Region> regions;
    try {
        regions = parse_region_text(std::string(reinterpret_cast<const char*>(data), size), "fuzz", 0.0);
    } catch (const orvo::RegionFileError& e) {
        if (!names_file_and_line(e.what())) return std::string("a refusal without file and line: ") + e.what();
        return {};
    }
    for (const orvo::Region& r : regions)
        if (!orvo::is_valid(r)) return "a region that is not a valid ellipse";
    // What the writer accepts, the reader reads back.
    if (!orvo::unwritable_reason(regions).empty()) return {};
    try {
        if (parse_region_text(orvo::detail::region_file_text(regions, 0.0), "written", 0.0).size() != regions.size())
            return "the written file reads back with another number of regions";
    } catch (const orvo::RegionFileError& e) {
        return std::string("the written file does not read back: ") + e.what();
    }
    return {};
}

bool set_decimal_comma_locale()
{
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (std::setlocale(LC_ALL, name)) return true;
    return false;
}
