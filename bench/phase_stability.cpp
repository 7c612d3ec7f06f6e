// Sampling-phase stability of the regions: how far they move when only the
// pixels at which each traced edge is sampled change. Each image is detected
// with the sampling started at the seed (phase 0) and at other phases; the
// regions of the two runs are paired one to one by increasing overlap error
// (below 0.5), and for each pair the distance between the centres (also
// over the radius of the phase-0 region, the geometric mean of its
// semi-axes) and the overlap error are taken. Prints, per image and over
// all, the share of regions paired, the median and 90th percentile of each,
// and the processor time of the phase-0 detection per region.
//
//   phase_stability [--classic] [--phases 2,5,7] IMAGE...
//
// The dense preset unless --classic. The default phases are none of them a
// multiple of the dense preset's steps (11 and 9), so every pass samples
// other pixels. An image that cannot be read ends it with a message and
// status 1.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <time.h>
#include <tuple>
#include <vector>

#include "ellipse/ellipse_matrix.h"
#include "ellipse/near_duplicates.h"
#include "library/sampling_phase.h"
#include "orvo/orvo.h"

namespace {

// Regions of two runs closer than this overlap error may be paired.
constexpr double PAIRING_ERROR = 0.5;

struct pair_measures {
    std::vector<double> shift, error;
    std::vector<double> relative_shift;  // over the radius of the phase-0 region
    std::size_t regions = 0;  // of the phase-0 runs
};

double process_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double quantile(std::vector<double> v, double q)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5)];
}

double major_radius(const orvo::Region& r)
{
    return orvo::detail::ellipse_semi_axes({r.a, r.b, r.c}).major;
}

// The one-to-one pairs of a and b, greedy by increasing overlap error below
// PAIRING_ERROR: the centre shift and the error of each.
void pair_regions(const std::vector<orvo::Region>& a, const std::vector<orvo::Region>& b, pair_measures& out)
{
    std::vector<std::size_t> by_x(b.size());
    for (std::size_t j = 0; j < b.size(); ++j) by_x[j] = j;
    std::sort(by_x.begin(), by_x.end(), [&](std::size_t i, std::size_t j) { return b[i].x < b[j].x; });
    double largest = 0;
    for (const orvo::Region& r : b) largest = std::max(largest, major_radius(r));
    std::vector<std::tuple<double, std::size_t, std::size_t>> candidates;  // error, i, j
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double reach = major_radius(a[i]);
        auto j = std::lower_bound(by_x.begin(), by_x.end(), a[i].x - reach - largest,
                                  [&](std::size_t k, double x) { return b[k].x < x; });
        for (; j != by_x.end() && b[*j].x <= a[i].x + reach + largest; ++j) {
            const orvo::Region& q = b[*j];
            if (std::hypot(q.x - a[i].x, q.y - a[i].y) >= reach + major_radius(q)) continue;
            const double error = orvo::detail::overlap_error(a[i], q);
            if (error < PAIRING_ERROR) candidates.emplace_back(error, i, *j);
        }
    }
    std::sort(candidates.begin(), candidates.end());
    std::vector<bool> used_a(a.size()), used_b(b.size());
    for (const auto& [error, i, j] : candidates) {
        if (used_a[i] || used_b[j]) continue;
        used_a[i] = used_b[j] = true;
        out.shift.push_back(std::hypot(a[i].x - b[j].x, a[i].y - b[j].y));
        out.relative_shift.push_back(out.shift.back() * std::pow(a[i].a * a[i].c - a[i].b * a[i].b, 0.25));
        out.error.push_back(error);
    }
}

void print_row(const std::string& label, const pair_measures& m, std::size_t runs, double us_per_region)
{
    const double compared = static_cast<double>(std::max<std::size_t>(1, m.regions * runs));
    std::printf("| %-24s | %6zu | %5.1f | %5.2f / %5.2f | %5.3f / %5.3f | %5.3f / %5.3f | %6.1f |\n",
                label.c_str(), m.regions, 100.0 * static_cast<double>(m.shift.size()) / compared,
                quantile(m.shift, 0.5), quantile(m.shift, 0.9), quantile(m.relative_shift, 0.5),
                quantile(m.relative_shift, 0.9), quantile(m.error, 0.5), quantile(m.error, 0.9),
                us_per_region);
    std::fflush(stdout);
}

// "boat/img1.png" of ".../boat/img1.png": the sequences' images share names.
std::string folder_and_name(const std::string& file)
{
    const std::size_t slash = file.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return file;
    const std::size_t before = file.find_last_of('/', slash - 1);
    return file.substr(before == std::string::npos ? 0 : before + 1);
}

std::vector<int> parse_phases(const char* text)
{
    std::vector<int> phases;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const int phase = std::atoi(item.c_str());
        if (phase <= 0) throw std::invalid_argument("--phases takes positive whole numbers, comma-separated");
        phases.push_back(phase);
    }
    return phases;
}

int run(const std::vector<std::string>& images, const orvo::DetectorOptions& options, const std::vector<int>& phases)
{
    std::printf("| image | regions | paired %% | centre shift median / p90 (px) | shift / radius median / p90 | "
                "overlap error median / p90 | us per region |\n|---|---|---|---|---|---|---|\n");
    pair_measures all;
    double all_ms = 0;
    for (const std::string& file : images) {
        const cv::Mat image = orvo::read_image(file);
        const double start = process_cpu_ms();
        const std::vector<orvo::Region> base = orvo::detail::detect_at_sampling_phase(image, options, 0);
        const double ms = process_cpu_ms() - start;
        pair_measures m;
        m.regions = base.size();
        for (const int phase : phases)
            pair_regions(base, orvo::detail::detect_at_sampling_phase(image, options, phase), m);
        print_row(folder_and_name(file), m, phases.size(), 1000 * ms / std::max<double>(1, m.regions));
        all.regions += m.regions;
        all.shift.insert(all.shift.end(), m.shift.begin(), m.shift.end());
        all.error.insert(all.error.end(), m.error.begin(), m.error.end());
        all.relative_shift.insert(all.relative_shift.end(), m.relative_shift.begin(), m.relative_shift.end());
        all_ms += ms;
    }
    print_row("all", all, phases.size(), 1000 * all_ms / std::max<double>(1, all.regions));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> images;
    orvo::DetectorOptions options = orvo::DetectorOptions::dense();
    std::vector<int> phases = {2, 5, 7};
    try {
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--classic") == 0)
                options = orvo::DetectorOptions();
            else if (std::strcmp(argv[i], "--phases") == 0 && i + 1 < argc)
                phases = parse_phases(argv[++i]);
            else if (argv[i][0] == '-') {
                std::fprintf(stderr, "Usage: phase_stability [--classic] [--phases 2,5,7] IMAGE...\n");
                return 1;
            } else
                images.push_back(argv[i]);
        }
        if (images.empty()) {
            std::fprintf(stderr, "Usage: phase_stability [--classic] [--phases 2,5,7] IMAGE...\n");
            return 1;
        }
        return run(images, options, phases);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "phase_stability: %s\n", e.what());
        return 1;
    }
}
