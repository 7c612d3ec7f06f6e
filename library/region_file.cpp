// The affine-region file: a strict reader whose cost per region does not
// depend on the file's size, and the writer of `orvo`'s files.
#include "orvo/region_file.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "io/atomic_file.h"
#include "io/regular_file.h"
#include "library/number_text.h"
#include "library/region_text.h"
#include "orvo/describe.h"
#include "orvo/errors.h"

namespace orvo {
namespace detail {
namespace {

// The decimals of each number of a region line.
constexpr int WRITTEN_DECIMALS = 10;

// A token as it may appear in a message: long ones are cut.
std::string quoted(const char* begin, const char* end)
{
    constexpr std::ptrdiff_t LONGEST = 40;
    if (end - begin <= LONGEST) return "\"" + std::string(begin, end) + "\"";
    return "\"" + std::string(begin, begin + LONGEST) + "...\" (" + std::to_string(end - begin) + " characters)";
}

// Walks the text line by line and token by token.
class Lines {
public:
    Lines(const std::string& text, const std::string& name) : at_(text.data()), end_(text.data() + text.size()), name_(name) {}

    // Moves to the next line that holds a token; false at the end.
    bool next()
    {
        while (at_ < end_) {
            const char* line_end = static_cast<const char*>(std::memchr(at_, '\n', static_cast<std::size_t>(end_ - at_)));
            if (line_end == nullptr) line_end = end_;
            ++number_;
            tokens_.clear();
            const char* p = at_;
            while (p < line_end) {
                while (p < line_end && is_space(*p)) ++p;
                const char* start = p;
                while (p < line_end && !is_space(*p)) ++p;
                if (p > start) tokens_.push_back({start, p});
            }
            at_ = line_end + (line_end < end_ ? 1 : 0);
            if (!tokens_.empty()) return true;
        }
        ++number_;
        return false;
    }

    std::size_t size() const { return tokens_.size(); }
    int line() const { return number_; }

    // Token i as a finite double in the "C" locale, or a thrown error.
    double number(std::size_t i) const
    {
        const auto [begin, end] = tokens_[i];
        double value = 0;
        if (!read_whole_number(begin, end, value)) fail("not a number: " + quoted(begin, end));
        if (!std::isfinite(value)) fail("not a finite number: " + quoted(begin, end));
        return value;
    }

    std::string text(std::size_t first, std::size_t count) const
    {
        std::string joined;
        for (std::size_t i = first; i < first + count; ++i) {
            if (i > first) joined += ' ';
            joined.append(tokens_[i].first, tokens_[i].second);
        }
        return joined;
    }

    [[noreturn]] void fail(const std::string& what) const
    {
        throw RegionFileError(name_ + ":" + std::to_string(number_) + ": " + what);
    }

private:
    static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

    const char* at_;
    const char* end_;
    const std::string& name_;
    int number_ = 0;
    std::vector<std::pair<const char*, const char*>> tokens_;
};

}  // namespace

std::vector<Region> parse_region_text(const std::string& text, const std::string& name, double offset,
                                      std::vector<std::string>* written)
{
    Lines lines(text, name);
    if (!lines.next()) lines.fail("missing the first line (a number)");
    if (lines.size() != 1) lines.fail("the first line must be one number");
    const double first = lines.number(0);
    // Descriptor files announce their length here; their region lines carry
    // that many values after the five numbers of the region.
    const std::size_t values = first >= 2 && first <= 100000 && first == std::floor(first) ? 5 + static_cast<std::size_t>(first) : 5;

    if (!lines.next()) lines.fail("missing the region count");
    if (lines.size() != 1) lines.fail("the region count must be a whole number");
    double count = 0;
    try {
        count = lines.number(0);
    } catch (const RegionFileError&) {
        lines.fail("the region count must be a whole number");
    }
    if (count < 0 || count != std::floor(count) || count > 1e9) lines.fail("the region count must be a whole number");

    const long n = static_cast<long>(count);
    std::vector<Region> regions;
    regions.reserve(static_cast<std::size_t>(std::min<long>(n, static_cast<long>(text.size() / 10 + 1))));
    if (written) written->clear();
    for (long k = 0; k < n; ++k) {
        if (!lines.next())
            lines.fail("the file ends after " + std::to_string(k) + " of " + std::to_string(n) + " regions");
        if (lines.size() < 5) lines.fail("a region needs five numbers: u v a b c");
        if (lines.size() != values)
            lines.fail(values == 5 ? "a region line holds five numbers: u v a b c"
                                   : "a line holds five numbers and " + std::to_string(values - 5) + " descriptor values");
        Region r;
        r.x = lines.number(0) - offset;
        r.y = lines.number(1) - offset;
        r.a = lines.number(2);
        r.b = lines.number(3);
        r.c = lines.number(4);
        for (std::size_t i = 5; i < values; ++i) lines.number(i);
        if (!is_valid(Region{0, 0, r.a, r.b, r.c})) lines.fail("the matrix [a b; b c] is not positive definite");
        regions.push_back(r);
        if (written) written->push_back(lines.text(0, 5));
    }
    if (lines.next()) lines.fail("more regions than the count of " + std::to_string(n) + " says");
    return regions;
}

std::vector<Region> read_region_text(const std::string& path, double offset, std::vector<std::string>* written)
{
    std::string content;
    const std::string error = read_regular_file(path, content);
    if (!error.empty()) throw RegionFileError(path + ": " + error);
    return parse_region_text(content, path, offset, written);
}

namespace {

// Each region's line as the files hold it (without its newline), or a thrown
// std::invalid_argument naming `caller` when a region cannot be written.
std::vector<std::string> region_lines(const std::vector<Region>& regions, double offset, const char* caller)
{
    const std::string reason = unwritable_reason(regions);
    if (!reason.empty()) throw std::invalid_argument(std::string(caller) + ": " + reason + "; nothing written");
    std::vector<std::string> lines;
    lines.reserve(regions.size());
    for (const Region& r : regions) {
        std::string line;
        for (const double value : {r.x + offset, r.y + offset, r.a, r.b, r.c}) {
            if (!line.empty()) line += ' ';
            line += fixed_text(value, WRITTEN_DECIMALS);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace

std::string region_file_text(const std::vector<Region>& regions, double offset)
{
    std::string text = "0.000000\n" + std::to_string(regions.size()) + "\n";
    for (const std::string& line : region_lines(regions, offset, "write_region_file")) {
        text += line;
        text += '\n';
    }
    return text;
}

namespace {

void write_or_throw(const std::string& path, const std::function<void(std::FILE*)>& write)
{
    const std::string error = write_file_atomically(path, write);
    if (!error.empty()) throw RegionFileError(path + ": " + error);
}

}  // namespace

}  // namespace detail

std::vector<Region> read_region_file(const std::string& path, double offset, std::vector<std::string>* as_written)
{
    return detail::read_region_text(path, offset, as_written);
}

std::string unwritable_reason(const std::vector<Region>& regions)
{
    using detail::fixed_text, detail::WRITTEN_DECIMALS;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const Region& r = regions[i];
        const std::string number = "region " + std::to_string(i + 1);
        if (!is_valid(r)) return number + " is not finite and positive definite";
        const std::string a = fixed_text(r.a, WRITTEN_DECIMALS), b = fixed_text(r.b, WRITTEN_DECIMALS),
                          c = fixed_text(r.c, WRITTEN_DECIMALS);
        const Region as_read{0, 0, detail::read_number(a.c_str()), detail::read_number(b.c_str()),
                             detail::read_number(c.c_str())};
        if (!is_valid(as_read))
            return number + " would be written as a = " + a + ", b = " + b + ", c = " + c +
                   ", not positive definite at ten decimals";
    }
    return {};
}

void write_region_file(const std::string& path, const std::vector<Region>& regions, double offset)
{
    const std::string text = detail::region_file_text(regions, offset);
    detail::write_or_throw(path, [&](std::FILE* fp) { std::fwrite(text.data(), 1, text.size(), fp); });
}

void write_descriptor_file(const std::string& path, const std::vector<Region>& regions, const cv::Mat& descriptors,
                           double offset, const std::vector<std::string>* as_written)
{
    if (descriptors.rows != static_cast<int>(regions.size()) || descriptors.cols != DESCRIPTOR_SIZE ||
        descriptors.type() != CV_8U)
        throw std::invalid_argument("write_descriptor_file: one row of 128 bytes per region is needed");
    if (as_written && as_written->size() != regions.size())
        throw std::invalid_argument("write_descriptor_file: one written text per region is needed");
    // Numbers copied as written were read from a file: they read back.
    const std::vector<std::string> formatted =
        as_written ? std::vector<std::string>() : detail::region_lines(regions, offset, "write_descriptor_file");
    const std::vector<std::string>& lines = as_written ? *as_written : formatted;
    // Each byte's text (" 0" .. " 255") made once: formatting 128 numbers per
    // region one call at a time cost a fifth of a whole descriptor run.
    std::array<std::string, 256> byte_texts;
    for (int value = 0; value < 256; ++value) byte_texts[value] = " " + std::to_string(value);
    detail::write_or_throw(path, [&](std::FILE* fp) {
        std::fprintf(fp, "%d\n%zu\n", DESCRIPTOR_SIZE, regions.size());
        std::string line;
        for (std::size_t i = 0; i < regions.size(); ++i) {
            line.assign(lines[i].c_str());
            const unsigned char* d = descriptors.ptr<unsigned char>(static_cast<int>(i));
            for (int k = 0; k < DESCRIPTOR_SIZE; ++k) line += byte_texts[d[k]];
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), fp);
        }
    });
}

}  // namespace orvo
