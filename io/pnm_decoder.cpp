// Binary grey and colour maps (P5, P6) of 8 or 16 bits, decoded as the image
// library decodes them: samples taken as stored whatever the maximum value
// (no rescaling), the high byte of 16-bit samples, colour in BGR order.
#include <cctype>
#include <climits>
#include <cstring>

#include "io/image_decoders.h"

namespace orvo::detail {

namespace {

enum class number_status { ok, ended, malformed };

// One header number: white space and '#' comments before it, the byte that
// ends it consumed.
number_status read_number(const unsigned char* data, std::size_t size, std::size_t& pos, std::uint64_t& value)
{
    int code = 0;
    const auto next = [&]() {
        if (pos >= size) return false;
        code = data[pos++];
        return true;
    };
    if (!next()) return number_status::ended;
    while (!std::isdigit(code)) {
        if (code == '#') {
            do {
                if (!next()) return number_status::ended;
            } while (code != '\n' && code != '\r');
            if (!next()) return number_status::ended;
        } else if (std::isspace(code)) {
            while (std::isspace(code))
                if (!next()) return number_status::ended;
        } else {
            return number_status::malformed;
        }
    }
    value = 0;
    do {
        value = value * 10 + static_cast<std::uint64_t>(code - '0');
        if (value > INT_MAX) return number_status::malformed;
        if (!next()) return number_status::ended;
    } while (std::isdigit(code));
    return number_status::ok;
}

}  // namespace

pnm_header read_pnm_header(const unsigned char* data, std::size_t size)
{
    pnm_header header;
    if (size < 2) return header;
    header.kind = static_cast<char>(data[1]);
    std::size_t pos = 2;
    std::uint64_t maxval = 1;
    const bool bitmap = header.kind == '1' || header.kind == '4';
    std::uint64_t* const values[] = {&header.width, &header.height, &maxval};
    for (int k = 0; k < (bitmap ? 2 : 3); ++k) {
        const number_status status = read_number(data, size, pos, *values[k]);
        if (status == number_status::ended) return header;
        if (status == number_status::malformed) {
            header.complete = true;
            return header;
        }
    }
    header.complete = true;
    header.maxval = static_cast<int>(maxval);
    header.offset = pos;
    header.valid = header.width > 0 && header.height > 0 && maxval > 0 && maxval <= 65535;
    return header;
}

image_read decode_pnm(const unsigned char* data, std::size_t size, std::size_t max_pixels)
{
    const pnm_header header = read_pnm_header(data, size);
    if (!header.complete) return failed_read(image_failure::truncated, truncated_reason("the header is cut short"));
    if (!header.valid) return failed_read(image_failure::unreadable, "not a readable image (a malformed header)");
    if (header.width * header.height > max_pixels)
        return failed_read(image_failure::too_large, "larger than the pixel limit");

    const int channels = header.kind == '6' ? 3 : 1;
    const std::size_t sample_size = header.maxval > 255 ? 2 : 1;
    const auto width = static_cast<int>(header.width), height = static_cast<int>(header.height);
    const std::size_t row_size = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels) * sample_size;
    if ((size - header.offset) / row_size < static_cast<std::size_t>(height))
        return failed_read(image_failure::truncated, truncated_reason("fewer samples than the header says"));

    image_read result;
    result.image.create(height, width, CV_8UC(channels));
    for (int y = 0; y < height; ++y) {
        const unsigned char* in = data + header.offset + static_cast<std::size_t>(y) * row_size;
        unsigned char* out = result.image.ptr<unsigned char>(y);
        if (channels == 1 && sample_size == 1) {
            std::memcpy(out, in, row_size);
            continue;
        }
        // Colour samples come red first; a 16-bit sample's high byte first.
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                out[x * channels + c] = in[static_cast<std::size_t>(x * channels + channels - 1 - c) * sample_size];
    }
    return result;
}

}  // namespace orvo::detail
