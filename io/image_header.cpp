// Image dimensions from the headers of every format the reader accepts:
// JPEG (SOFn segment), PNG (IHDR), the portable maps (P1 to P7, PF, Pf),
// BMP, TIFF and BigTIFF (first directory), WebP (VP8, VP8L, VP8X), Sun
// raster, Radiance HDR and JPEG 2000 (jp2h/ihdr box or SIZ segment).
#include "io/image_header.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "io/image_decoders.h"

namespace orvo::detail {

namespace {

// Bounds-checked reads of big- and little-endian numbers.
struct byte_view {
    const unsigned char* data;
    std::size_t size;

    bool has(std::uint64_t offset, std::uint64_t count) const { return offset <= size && count <= size - offset; }
    bool starts_with(const char* signature, std::size_t length) const
    {
        return has(0, length) && std::memcmp(data, signature, length) == 0;
    }
    std::uint64_t read(std::uint64_t offset, int count, bool big_endian) const
    {
        std::uint64_t value = 0;
        for (int k = 0; k < count; ++k) {
            const unsigned char byte = data[offset + static_cast<std::uint64_t>(big_endian ? k : count - 1 - k)];
            value = value << 8 | byte;
        }
        return value;
    }
    std::uint64_t be(std::uint64_t offset, int count) const { return read(offset, count, true); }
    std::uint64_t le(std::uint64_t offset, int count) const { return read(offset, count, false); }
};

image_header cut_short(image_format format)
{
    image_header header;
    header.format = format;
    return header;
}

image_header sized(image_format format, std::uint64_t width, std::uint64_t height)
{
    image_header header;
    header.format = format;
    header.complete = true;
    header.width = width;
    header.height = height;
    return header;
}

image_header malformed(image_format format) { return sized(format, 0, 0); }

bool is_frame_marker(unsigned char marker)
{
    return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
}

image_header jpeg_header(const byte_view& in)
{
    std::uint64_t pos = 2;
    for (;;) {
        if (!in.has(pos, 2)) return cut_short(image_format::jpeg);
        if (in.data[pos] != 0xff) return malformed(image_format::jpeg);
        while (in.has(pos, 2) && in.data[pos + 1] == 0xff) ++pos;  // fill bytes
        if (!in.has(pos, 2)) return cut_short(image_format::jpeg);
        const unsigned char marker = in.data[pos + 1];
        pos += 2;
        if (marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8)) continue;  // no length
        if (marker == 0xd9 || marker == 0xda) return malformed(image_format::jpeg);  // no frame before the scan
        if (!in.has(pos, 2)) return cut_short(image_format::jpeg);
        if (is_frame_marker(marker)) {
            if (!in.has(pos, 7)) return cut_short(image_format::jpeg);
            return sized(image_format::jpeg, in.be(pos + 5, 2), in.be(pos + 3, 2));
        }
        pos += in.be(pos, 2);
    }
}

image_header png_header(const byte_view& in)
{
    if (!in.has(0, 24)) return cut_short(image_format::png);
    if (std::memcmp(in.data + 12, "IHDR", 4) != 0) return malformed(image_format::png);
    return sized(image_format::png, in.be(16, 4), in.be(20, 4));
}

image_header bmp_header(const byte_view& in)
{
    if (!in.has(0, 18)) return cut_short(image_format::other);
    const std::uint64_t info_size = in.le(14, 4);
    if (info_size == 12) {  // OS/2 header: 16-bit sizes
        if (!in.has(0, 22)) return cut_short(image_format::other);
        return sized(image_format::other, in.le(18, 2), in.le(20, 2));
    }
    if (!in.has(0, 26)) return cut_short(image_format::other);
    const auto width = static_cast<std::int32_t>(in.le(18, 4));
    const auto height = static_cast<std::int32_t>(in.le(22, 4));  // negative: stored top-down
    if (width <= 0 || height == 0 || height == INT32_MIN) return malformed(image_format::other);
    return sized(image_format::other, static_cast<std::uint64_t>(width),
                 static_cast<std::uint64_t>(height < 0 ? -static_cast<std::int64_t>(height) : height));
}

// One integer value of a TIFF directory entry, read as the TIFF library reads
// an image size: a single value of an integer type that fits in the entry's
// value field and is not negative. Anything else makes the directory
// unreadable (valid == false).
struct tiff_integer {
    bool valid = false;
    std::uint64_t value = 0;
};

tiff_integer tiff_entry_integer(const byte_view& in, std::uint64_t entry, bool big_endian, bool big_tiff)
{
    const std::uint64_t type = in.read(entry + 2, 2, big_endian);
    const std::uint64_t count = in.read(entry + 4, big_tiff ? 8 : 4, big_endian);
    int size = 0;
    bool is_signed = false;
    switch (type) {
    case 1: size = 1; break;                      // BYTE
    case 6: size = 1; is_signed = true; break;    // SBYTE
    case 3: size = 2; break;                      // SHORT
    case 8: size = 2; is_signed = true; break;    // SSHORT
    case 4: size = 4; break;                      // LONG
    case 9: size = 4; is_signed = true; break;    // SLONG
    case 16: size = 8; break;                     // LONG8
    case 17: size = 8; is_signed = true; break;   // SLONG8
    default: break;
    }
    if (count != 1 || size == 0 || size > (big_tiff ? 8 : 4)) return {};
    tiff_integer result;
    result.value = in.read(entry + (big_tiff ? 12 : 8), size, big_endian);
    result.valid = !(is_signed && (result.value >> (8 * size - 1)) != 0);
    return result;
}

image_header tiff_header(const byte_view& in)
{
    const bool big_endian = in.data[0] == 'M';
    const bool big_tiff = in.read(2, 2, big_endian) == 43;
    const int offset_size = big_tiff ? 8 : 4;
    const int entry_size = big_tiff ? 20 : 12;
    const int count_size = big_tiff ? 8 : 2;
    if (!in.has(0, big_tiff ? 16 : 8)) return cut_short(image_format::other);
    const std::uint64_t directory = in.read(big_tiff ? 8 : 4, offset_size, big_endian);
    if (!in.has(directory, static_cast<std::uint64_t>(count_size))) return cut_short(image_format::other);
    const std::uint64_t entries = in.read(directory, count_size, big_endian);
    // The first entry of each size tag counts; later duplicates are ignored.
    tiff_integer width, height;
    bool width_seen = false, height_seen = false;
    for (std::uint64_t k = 0; k < entries; ++k) {
        const std::uint64_t entry = directory + static_cast<std::uint64_t>(count_size) + k * static_cast<std::uint64_t>(entry_size);
        if (!in.has(entry, static_cast<std::uint64_t>(entry_size))) return cut_short(image_format::other);
        const std::uint64_t tag = in.read(entry, 2, big_endian);
        if (tag == 256 && !width_seen) {
            width_seen = true;
            width = tiff_entry_integer(in, entry, big_endian, big_tiff);
        } else if (tag == 257 && !height_seen) {
            height_seen = true;
            height = tiff_entry_integer(in, entry, big_endian, big_tiff);
        }
    }
    if (!width.valid || !height.valid) return malformed(image_format::other);
    return sized(image_format::other, width.value, height.value);
}

image_header webp_header(const byte_view& in)
{
    if (!in.has(0, 30)) return cut_short(image_format::other);
    const unsigned char* chunk = in.data + 12;
    const std::uint64_t body = 20;
    if (std::memcmp(chunk, "VP8 ", 4) == 0) {
        if (in.data[body + 3] != 0x9d || in.data[body + 4] != 0x01 || in.data[body + 5] != 0x2a)
            return malformed(image_format::other);
        return sized(image_format::other, in.le(body + 6, 2) & 0x3fff, in.le(body + 8, 2) & 0x3fff);
    }
    if (std::memcmp(chunk, "VP8L", 4) == 0) {
        if (in.data[body] != 0x2f) return malformed(image_format::other);
        const std::uint64_t bits = in.le(body + 1, 4);
        return sized(image_format::other, (bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1);
    }
    if (std::memcmp(chunk, "VP8X", 4) == 0)
        return sized(image_format::other, in.le(body + 4, 3) + 1, in.le(body + 7, 3) + 1);
    return malformed(image_format::other);
}

// The text headers of PAM and PFM: words separated by white space, with
// '#' comments to the end of the line.
struct word_reader {
    const byte_view& in;
    std::uint64_t pos;

    bool next(std::string& word)
    {
        word.clear();
        while (in.has(pos, 1)) {
            const unsigned char c = in.data[pos];
            if (c == '#') {
                while (in.has(pos, 1) && in.data[pos] != '\n') ++pos;
            } else if (std::isspace(c)) {
                ++pos;
            } else {
                break;
            }
        }
        while (in.has(pos, 1) && !std::isspace(in.data[pos]) && word.size() < 32) word += static_cast<char>(in.data[pos++]);
        return in.has(pos, 1);  // a word must be followed by something
    }
};

std::uint64_t number_or_zero(const std::string& word)
{
    if (word.empty() || word.size() > 18 || word.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoull(word);
}

image_header pam_header(const byte_view& in)
{
    word_reader words{in, 2};
    std::string word, value;
    std::uint64_t width = 0, height = 0;
    for (;;) {
        if (!words.next(word)) return cut_short(image_format::other);
        if (word == "ENDHDR") return sized(image_format::other, width, height);
        if (word == "WIDTH" || word == "HEIGHT") {
            if (!words.next(value)) return cut_short(image_format::other);
            (word == "WIDTH" ? width : height) = number_or_zero(value);
        } else if (word.empty()) {
            return malformed(image_format::other);
        }
    }
}

image_header pfm_header(const byte_view& in)
{
    word_reader words{in, 2};
    std::string width, height;
    if (!words.next(width) || !words.next(height)) return cut_short(image_format::other);
    return sized(image_format::other, number_or_zero(width), number_or_zero(height));
}

image_header portable_map_header(const byte_view& in)
{
    const pnm_header pnm = read_pnm_header(in.data, in.size);
    const image_format format = pnm.kind == '5' || pnm.kind == '6' ? image_format::pnm : image_format::other;
    if (!pnm.complete) return cut_short(format);
    if (!pnm.valid) return malformed(format);
    return sized(format, pnm.width, pnm.height);
}

image_header radiance_header(const byte_view& in)
{
    const unsigned char* end = in.data + in.size;
    const char blank_line[] = "\n\n";
    const unsigned char* header_end = std::search(in.data, end, blank_line, blank_line + 2);
    if (header_end == end) return cut_short(image_format::other);
    const unsigned char* line = header_end + 2;
    const unsigned char* line_end = std::find(line, end, '\n');
    if (line_end == end) return cut_short(image_format::other);
    const std::string resolution(line, line_end);
    int first = 0, second = 0;
    if (std::sscanf(resolution.c_str(), "%*1[-+]%*1[XY] %d %*1[-+]%*1[XY] %d", &first, &second) != 2 || first <= 0 ||
        second <= 0)
        return malformed(image_format::other);
    return sized(image_format::other, static_cast<std::uint64_t>(second), static_cast<std::uint64_t>(first));
}

image_header jpeg2000_codestream_header(const byte_view& in, std::uint64_t start)
{
    if (!in.has(start, 24)) return cut_short(image_format::other);
    if (in.be(start, 4) != 0xff4fff51u) return malformed(image_format::other);
    const std::uint64_t x = in.be(start + 8, 4), y = in.be(start + 12, 4);
    const std::uint64_t x0 = in.be(start + 16, 4), y0 = in.be(start + 20, 4);
    if (x0 >= x || y0 >= y) return malformed(image_format::other);
    return sized(image_format::other, x - x0, y - y0);
}

// The boxes of a JP2 file from `start` to `end`: the image header box inside
// the header box gives the size.
image_header jp2_boxes_header(const byte_view& in, std::uint64_t start, std::uint64_t end)
{
    for (std::uint64_t pos = start; pos < end;) {
        if (!in.has(pos, 8)) return cut_short(image_format::other);
        std::uint64_t length = in.be(pos, 4), body = pos + 8;
        if (length == 1) {
            if (!in.has(pos, 16)) return cut_short(image_format::other);
            length = in.be(pos + 8, 8);
            body = pos + 16;
        } else if (length == 0) {
            length = end - pos;
        }
        if (length < body - pos || length > end - pos) return malformed(image_format::other);
        const unsigned char* type = in.data + pos + 4;
        if (std::memcmp(type, "jp2h", 4) == 0) return jp2_boxes_header(in, body, pos + length);
        if (std::memcmp(type, "ihdr", 4) == 0) {
            if (!in.has(body, 8)) return cut_short(image_format::other);
            return sized(image_format::other, in.be(body + 4, 4), in.be(body, 4));
        }
        if (std::memcmp(type, "jp2c", 4) == 0) return jpeg2000_codestream_header(in, body);
        pos += length;
    }
    return malformed(image_format::other);
}

}  // namespace

image_header read_image_header(const unsigned char* data, std::size_t size)
{
    const byte_view in{data, size};
    if (in.starts_with("\xff\xd8", 2)) return jpeg_header(in);
    if (in.starts_with("\x89PNG\r\n\x1a\n", 8)) return png_header(in);
    if (in.starts_with("BM", 2)) return bmp_header(in);
    if (in.starts_with("II*\0", 4) || in.starts_with("MM\0*", 4) || in.starts_with("II+\0", 4) ||
        in.starts_with("MM\0+", 4))
        return tiff_header(in);
    if (in.has(0, 12) && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WEBP", 4) == 0)
        return webp_header(in);
    if (in.starts_with("P7", 2)) return pam_header(in);
    if (in.starts_with("PF", 2) || in.starts_with("Pf", 2)) return pfm_header(in);
    if (in.has(0, 2) && data[0] == 'P' && data[1] >= '1' && data[1] <= '6') return portable_map_header(in);
    if (in.starts_with("\x59\xa6\x6a\x95", 4)) {
        if (!in.has(0, 12)) return cut_short(image_format::other);
        return sized(image_format::other, in.be(4, 4), in.be(8, 4));
    }
    if (in.starts_with("#?", 2)) return radiance_header(in);
    if (in.starts_with("\x00\x00\x00\x0cjP  \r\n\x87\n", 12)) return jp2_boxes_header(in, 12, size);
    if (in.starts_with("\xff\x4f\xff\x51", 4)) return jpeg2000_codestream_header(in, 0);
    return image_header();
}

}  // namespace orvo::detail
