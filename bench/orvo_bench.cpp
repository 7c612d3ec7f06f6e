// Benchmark of the detector, printed as Markdown tables: for the dense
// preset and the classic settings, the processor time of every stage on one
// thread, the share of it spent in parallel sections (Amdahl's p), the wall
// time on 1, 2 and all threads, the peak memory of a detection run in a
// process of its own; then, side by side in the same run, the dense
// detection + description against OpenCV's SIFT detectAndCompute, the
// classic detection against OpenCV's MSER, and the time per inserted edge
// point at 24 megapixels against 1.
//
//   orvo_bench [--report] [--quick] [--dense | --classic] [--repeat N] [IMAGE...]
//   orvo_bench --counts IMAGE...       the size of every stage, one image a column
//   orvo_bench --peak PRESET THREADS IMAGE
//                                      the detection alone (classic or dense), which the
//                                      report runs in a process of its own for its peak memory
//
// Without images: generated textured images of 1, 6 and 24 megapixels, and
// the photos eiffel_tower1.jpg and multiview/herzjesu-p8/0000.jpg of
// ../shared/data and a mosaic of nine of its Oxford images (3000 x 2100, as
// textured as photos get) when present (--quick: no 24 megapixels, fewer
// repeats).
// Figures are medians over the repeats, OpenCV on one thread. On a machine
// shared with other work the processor times are the figures to trust; wall
// times and their ratios move with the load, printed in the heading.
//
// An image that cannot be read ends it with a message and status 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/launcher.h"
#include "orvo/orvo.h"
#include "parallel/processor_time.h"
#include "tests/generated_image.h"

namespace {

using orvo::detail::process_cpu_ms;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// The wall time and the processor time of the whole process (all its
// threads) over a call, in milliseconds.
struct call_time {
    double wall = 0, cpu = 0;
};

template <class Call>
call_time time_call(const Call& call)
{
    orvo::detail::stage_clock clock;
    call();
    const orvo::detail::stage_lap lap = clock.lap();
    return {lap.wall_ms, lap.cpu_ms};
}

void print_counts(const std::vector<std::string>& names)
{
    std::vector<orvo::DetectionStats> all;
    for (const std::string& name : names) {
        all.emplace_back();
        orvo::detect(orvo::read_image(name), {}, &all.back());
    }
    auto row = [&](const char* label, const std::function<std::size_t(const orvo::DetectionStats&)>& field) {
        std::printf("| %-26s |", label);
        for (const orvo::DetectionStats& c : all) std::printf(" %zu |", field(c));
        std::printf("\n");
    };
    std::printf("| %-26s |", "stage");
    for (const std::string& name : names) std::printf(" %s |", name.substr(name.find_last_of('/') + 1).c_str());
    std::printf("\n|---|");
    for (std::size_t i = 0; i < names.size(); ++i) std::printf("---|");
    std::printf("\n");
    using S = orvo::DetectionStats;
    row("high threshold", [](const S& c) { return static_cast<std::size_t>(c.high_threshold); });
    row("low threshold", [](const S& c) { return static_cast<std::size_t>(c.low_threshold); });
    row("edge pixels", [](const S& c) { return c.edge_pixels; });
    row("sampled points", [](const S& c) { return c.sampled_points; });
    row("points inserted (g >= 10)", [](const S& c) { return c.points_inserted; });
    row("gap midpoints found", [](const S& c) { return c.midpoints_found; });
    row("midpoints inserted", [](const S& c) { return c.midpoints_inserted; });
    row("triangulation vertices", [](const S& c) { return c.vertices; });
    row("finite triangles", [](const S& c) { return c.triangles; });
    row("finite edges", [](const S& c) { return c.edges; });
    row("face-table rows", [](const S& c) { return c.face_rows; });
    row("live tree nodes", [](const S& c) { return c.live_nodes; });
    row("selected nodes", [](const S& c) { return c.selected; });
    row("ellipses written", [](const S& c) { return c.regions; });
}

struct image_entry {
    std::string label, file;
    double megapixels = 0;
    bool generated = false;
};

struct preset {
    std::string name;
    orvo::DetectorOptions options;
};

// The thread counts whose wall times are measured: 1, 2 and all the
// machine has (each once).
std::vector<int> thread_counts()
{
    std::vector<int> counts{1, 2};
    const int all = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    if (all > 2) counts.push_back(all);
    return counts;
}

// One repeat's figures of a preset on an image; processor times of one
// thread in milliseconds.
struct run_figures {
    orvo::DetectionStats stats;   // one thread
    double detection = 0;         // the whole detect call
    double parallel = 0;          // of which inside parallel sections
    double description = 0;       // orvo::describe of the regions grown by the measurement scale
    std::vector<double> wall;     // the detection's, per thread_counts()
    bool same_regions = true;     // on every thread count
    double reference = 0;         // SIFT detectAndCompute (dense) or MSER (classic)
    std::size_t regions = 0, reference_count = 0;
};

// The medians of a preset's repeats on an image, and its peak memory.
struct preset_figures {
    std::vector<run_figures> runs;
    double peak_mb_one = 0, peak_mb_all = 0;
    double mser_peak_mb = 0;  // of mser_run, beside the classic settings

    double of(const std::function<double(const run_figures&)>& field) const
    {
        std::vector<double> values;
        for (const run_figures& r : runs) values.push_back(field(r));
        return median(values);
    }
    double p() const { return of([](const run_figures& r) { return r.parallel / r.detection; }); }
    std::size_t inserted() const
    {
        const orvo::DetectionStats& s = runs.back().stats;
        return s.points_inserted + s.midpoints_inserted;
    }
};

std::string region_lines(const std::vector<orvo::Region>& regions)
{
    std::string lines;
    for (const orvo::Region& r : regions) {
        char line[160];
        std::snprintf(line, sizeof line, "%.17g %.17g %.17g %.17g %.17g\n", r.x, r.y, r.a, r.b, r.c);
        lines += line;
    }
    return lines;
}

bool is_dense(const preset& p) { return p.options.pyramid_levels > 1; }

// One repeat: the detection on one thread with its stages and parallel
// share, on the other thread counts for the wall time, the description,
// and the reference detector, one thread each.
run_figures measure_once(const cv::Mat& colour, const cv::Mat& grey, const preset& p)
{
    run_figures f;
    std::vector<orvo::Region> one;
    const double parallel_before = orvo::detail::parallel_processor_ms();
    const call_time single = time_call([&] { one = orvo::detect(colour, p.options, &f.stats); });
    f.parallel = orvo::detail::parallel_processor_ms() - parallel_before;
    f.detection = single.cpu;
    f.regions = one.size();
    f.wall.push_back(single.wall);
    const std::vector<int> counts = thread_counts();
    for (std::size_t k = 1; k < counts.size(); ++k) {
        orvo::DetectorOptions threaded = p.options;
        threaded.threads = counts[k];
        std::vector<orvo::Region> several;
        f.wall.push_back(time_call([&] { several = orvo::detect(colour, threaded); }).wall);
        f.same_regions = f.same_regions && region_lines(several) == region_lines(one);
    }
    const std::vector<orvo::Region> measured = orvo::scaled(one, p.options.measurement_scale);
    f.description = time_call([&] { orvo::describe(grey, measured); }).cpu;
    if (is_dense(p)) {
        const cv::Ptr<cv::SIFT> sift = cv::SIFT::create();
        std::vector<cv::KeyPoint> keypoints;
        cv::Mat descriptors;
        f.reference = time_call([&] { sift->detectAndCompute(grey, cv::noArray(), keypoints, descriptors); }).cpu;
        f.reference_count = keypoints.size();
    } else {
        std::vector<std::vector<cv::Point>> regions;
        std::vector<cv::Rect> boxes;
        f.reference = time_call([&] { cv::MSER::create()->detectRegions(grey, regions, boxes); }).cpu;
        f.reference_count = regions.size();
    }
    return f;
}

// The detection that --peak runs in a process of its own.
int detect_for_peak(const std::string& preset_name, int threads, const std::string& file)
{
    orvo::DetectorOptions options = preset_name == "dense" ? orvo::DetectorOptions::dense() : orvo::DetectorOptions();
    options.threads = threads;
    return orvo::detect(orvo::read_image(file), options).empty() ? 2 : 0;
}

struct report_settings {
    bool quick = false;
    int repeat = 0;  // 0: 3 (1 at 24 MP) or with --quick 1
    std::vector<std::string> presets{"classic", "dense"};
};

std::string self_executable()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) throw std::runtime_error("cannot find the benchmark's own executable");
    return std::string(path, static_cast<std::size_t>(n));
}

preset_figures measure(launcher& runs, const image_entry& image, const preset& p, int repeat)
{
    const cv::Mat colour = orvo::read_image(image.file);
    cv::Mat grey = colour;
    if (colour.channels() == 3) cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    preset_figures figures;
    for (int i = 0; i < repeat; ++i) figures.runs.push_back(measure_once(colour, grey, p));
    const std::string self = self_executable();
    const std::string all = std::to_string(thread_counts().back());
    figures.peak_mb_one = runs.run(self, {"--peak", p.name, "1", image.file}).peak_mb;
    figures.peak_mb_all = runs.run(self, {"--peak", p.name, all, image.file}).peak_mb;
    if (!is_dense(p)) figures.mser_peak_mb = runs.run(MSER_EXECUTABLE, {image.file}).peak_mb;
    return figures;
}

// Amdahl's bound on the wall-time ratio of n threads to one: the parallel
// share p divided among them, the rest as it was.
double amdahl_ratio(double p, int n) { return (1 - p) + p / n; }

void print_header(const std::vector<image_entry>& images)
{
    std::printf("| |");
    for (const image_entry& image : images) std::printf(" %s |", image.label.c_str());
    std::printf("\n|---|");
    for (std::size_t i = 0; i < images.size(); ++i) std::printf("---:|");
    std::printf("\n");
}

void print_row(const char* label, const std::vector<preset_figures>& all,
               const std::function<std::string(const preset_figures&)>& cell)
{
    std::printf("| %s |", label);
    for (const preset_figures& f : all) std::printf(" %s |", f.runs.empty() ? "" : cell(f).c_str());
    std::printf("\n");
}

std::string format(const char* pattern, double a, double b = 0, double c = 0)
{
    char text[96];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

void print_preset_table(const preset& p, const std::vector<image_entry>& images,
                        const std::vector<preset_figures>& all)
{
    const std::vector<int> counts = thread_counts();
    std::printf("\n**%s**: processor time of one thread per stage, ms (medians of %zu)\n\n", p.name.c_str(),
                all.front().runs.size());
    print_header(images);
    using R = run_figures;
    const auto ms = [&](const char* label, const std::function<double(const R&)>& field) {
        print_row(label, all, [&](const preset_figures& f) { return format("%.0f", f.of(field)); });
    };
    print_row("regions", all, [](const preset_figures& f) { return format("%.0f", f.runs.back().regions); });
    print_row("points inserted", all, [](const preset_figures& f) { return format("%.0f", f.inserted()); });
    ms("Canny", [](const R& r) { return r.stats.canny_cpu_ms; });
    ms("points + triangulation", [](const R& r) { return r.stats.points_cpu_ms; });
    ms("alpha values", [](const R& r) { return r.stats.alpha_cpu_ms; });
    ms("face table", [](const R& r) { return r.stats.face_table_cpu_ms; });
    ms("tree", [](const R& r) { return r.stats.tree_cpu_ms; });
    ms("selection", [](const R& r) { return r.stats.selection_cpu_ms; });
    ms("extraction", [](const R& r) { return r.stats.extraction_cpu_ms; });
    ms("near-duplicates", [](const R& r) { return r.stats.near_duplicates_cpu_ms; });
    ms("other (grey, pyramid, edge map, ...)", [](const R& r) {
        const orvo::DetectionStats& s = r.stats;
        return r.detection - s.canny_cpu_ms - s.points_cpu_ms - s.alpha_cpu_ms - s.face_table_cpu_ms - s.tree_cpu_ms -
               s.selection_cpu_ms - s.extraction_cpu_ms - s.near_duplicates_cpu_ms;
    });
    ms("**detection**", [](const R& r) { return r.detection; });
    ms("description", [](const R& r) { return r.description; });
    print_row("parallel share p", all, [](const preset_figures& f) { return format("%.2f", f.p()); });
    print_row("wall ms, 1 thread", all, [](const preset_figures& f) {
        return format("%.0f", f.of([](const R& r) { return r.wall[0]; }));
    });
    for (std::size_t k = 1; k < counts.size(); ++k) {
        const std::string label = "wall ms, " + std::to_string(counts[k]) + " threads" +
                                  (k + 1 == counts.size() ? " (all)" : "") + ": ratio (Amdahl's bound)";
        print_row(label.c_str(), all, [&](const preset_figures& f) {
            const double wall = f.of([&](const R& r) { return r.wall[k]; });
            return format("%.0f: %.2fx (%.2fx)", wall, wall / f.of([](const R& r) { return r.wall[0]; }),
                          amdahl_ratio(f.p(), counts[k]));
        });
    }
    print_row("same regions on every thread count", all, [](const preset_figures& f) {
        for (const run_figures& r : f.runs)
            if (!r.same_regions) return std::string("**no**");
        return std::string("yes");
    });
    print_row("peak MB, 1 thread / all", all,
              [](const preset_figures& f) { return format("%.0f / %.0f", f.peak_mb_one, f.peak_mb_all); });
    if (!is_dense(p))
        print_row("peak MB of MSER (mser_run)", all, [](const preset_figures& f) { return format("%.0f", f.mser_peak_mb); });
}

// Processor time per inserted point of the classic or dense detection, in
// microseconds.
double us_per_point(const preset_figures& f)
{
    return 1000 * f.of([](const run_figures& r) { return r.detection; }) / static_cast<double>(f.inserted());
}

void print_side_by_side(const std::vector<preset>& presets, const std::vector<image_entry>& images,
                        const std::vector<std::vector<preset_figures>>& all)
{
    std::printf("\n**Side by side**, processor time of one thread each, ms (medians)\n\n");
    std::printf("| image | work | Orvo | reference | ratio |\n|---|---|---:|---:|---:|\n");
    using R = run_figures;
    for (std::size_t i = 0; i < images.size(); ++i)
        for (std::size_t q = 0; q < presets.size(); ++q) {
            const preset_figures& f = all[q][i];
            if (f.runs.empty()) continue;
            const double ours = is_dense(presets[q])
                                    ? f.of([](const R& r) { return r.detection + r.description; })
                                    : f.of([](const R& r) { return r.detection; });
            const double theirs = f.of([](const R& r) { return r.reference; });
            std::printf("| %s | %s | %.0f (%zu regions) | %.0f (%zu %s) | %.2fx |\n", images[i].label.c_str(),
                        is_dense(presets[q]) ? "dense detect + describe against SIFT detectAndCompute"
                                             : "classic detection against MSER (grey)",
                        ours, f.runs.back().regions, theirs, f.runs.back().reference_count,
                        is_dense(presets[q]) ? "keypoints" : "regions", ours / theirs);
        }
    // Per point: the generated images, the largest against the smallest.
    std::size_t small = images.size(), large = images.size();
    for (std::size_t i = 0; i < images.size(); ++i)
        if (images[i].generated) {
            if (small == images.size() || images[i].megapixels < images[small].megapixels) small = i;
            if (large == images.size() || images[i].megapixels > images[large].megapixels) large = i;
        }
    if (small == large || small == images.size()) return;
    for (std::size_t q = 0; q < presets.size(); ++q) {
        const double a = us_per_point(all[q][small]), b = us_per_point(all[q][large]);
        std::printf("| %s against %s | %s detection per inserted point, us | %.2f | %.2f | %.2fx |\n",
                    images[large].label.c_str(), images[small].label.c_str(), presets[q].name.c_str(), b, a, b / a);
    }
}

// A textured 6 MP photo: nine Oxford images (the first two of each sequence
// and wall's third), 1000 x 700 each, three by three, written to `file`
// unless it is there already. False when the data is missing.
bool write_oxford_mosaic(const std::string& file)
{
    struct stat info;
    if (stat(file.c_str(), &info) == 0) return true;
    const std::string folder = std::string(ORVO_SHARED_DATA) + "/oxford/";
    std::vector<cv::Mat> rows;
    std::vector<cv::Mat> row;
    for (const std::string tile : {"wall/img1", "bikes/img1", "boat/img1", "leuven/img1", "wall/img2", "boat/img2",
                                   "leuven/img2", "bikes/img2", "wall/img3"}) {
        const cv::Mat image = cv::imread(folder + tile + ".png", cv::IMREAD_COLOR);
        if (image.empty()) return false;
        cv::Mat sized;
        cv::resize(image, sized, cv::Size(1000, 700), 0, 0, cv::INTER_AREA);
        row.push_back(sized);
        if (row.size() == 3) {
            cv::Mat joined;
            cv::hconcat(row, joined);
            rows.push_back(joined);
            row.clear();
        }
    }
    cv::Mat mosaic;
    cv::vconcat(rows, mosaic);
    return cv::imwrite(file, mosaic);
}

std::vector<image_entry> default_images(bool quick)
{
    std::vector<image_entry> images;
    const std::pair<int, int> sizes[] = {{1224, 817}, {3000, 2000}, {6000, 4000}};
    for (const auto& size : quick ? std::vector<std::pair<int, int>>(sizes, sizes + 2)
                                  : std::vector<std::pair<int, int>>(sizes, sizes + 3)) {
        const std::string name = std::to_string(size.first) + "x" + std::to_string(size.second);
        const std::string file = "/tmp/orvo-bench-" + name + ".png";
        struct stat info;
        if (stat(file.c_str(), &info) != 0) cv::imwrite(file, generated_image(size.first, size.second, 5));
        images.push_back({"generated " + name, file, 0, true});
    }
    for (const std::string photo : {"eiffel_tower1.jpg", "multiview/herzjesu-p8/0000.jpg"}) {
        const std::string file = std::string(ORVO_SHARED_DATA) + "/" + photo;
        struct stat info;
        if (stat(file.c_str(), &info) == 0) images.push_back({photo.substr(photo.find('/') + 1), file, 0, false});
    }
    const std::string mosaic = "/tmp/orvo-bench-oxford-mosaic.png";
    if (write_oxford_mosaic(mosaic)) images.push_back({"Oxford mosaic", mosaic, 0, false});
    return images;
}

int report(launcher& runs, const std::vector<std::string>& names, const report_settings& settings)
{
    std::vector<image_entry> images;
    for (const std::string& name : names) images.push_back({name.substr(name.find_last_of('/') + 1), name, 0, false});
    if (names.empty()) images = default_images(settings.quick);
    for (image_entry& image : images) {
        const cv::Mat m = orvo::read_image(image.file);
        image.megapixels = m.cols * static_cast<double>(m.rows) / 1e6;
        image.label += format(" (%.1f MP)", image.megapixels);
    }
    std::sort(images.begin(), images.end(),
              [](const image_entry& a, const image_entry& b) { return a.megapixels < b.megapixels; });

    std::vector<preset> presets;
    for (const std::string& name : settings.presets)
        presets.push_back({name, name == "dense" ? orvo::DetectorOptions::dense() : orvo::DetectorOptions()});
    double load[3];
    const int loads = getloadavg(load, 3);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::vector<preset_figures>> all(presets.size());
    for (std::size_t q = 0; q < presets.size(); ++q)
        for (const image_entry& image : images) {
            const int repeat = settings.repeat > 0 ? settings.repeat
                               : settings.quick    ? 1
                               : image.megapixels > 12 ? 1
                                                       : 3;
            std::fprintf(stderr, "orvo_bench: %s on %s\n", presets[q].name.c_str(), image.label.c_str());
            all[q].push_back(measure(runs, image, presets[q], repeat));
        }
    double load_after[3];
    const int loads_after = getloadavg(load_after, 3);
    std::printf("Orvo benchmark: %zu images, %u hardware threads, load average %.1f before and %.1f after "
                "(%.0f s). Processor times are the figures to trust on a shared machine; wall times and their "
                "ratios move with the load.\n",
                images.size(), std::thread::hardware_concurrency(), loads > 0 ? load[0] : -1.0,
                loads_after > 0 ? load_after[0] : -1.0,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    for (std::size_t q = 0; q < presets.size(); ++q) print_preset_table(presets[q], images, all[q]);
    print_side_by_side(presets, images, all);
    return 0;
}

int usage()
{
    std::fprintf(stderr, "Usage: orvo_bench [--report] [--quick] [--dense | --classic] [--repeat N] [IMAGE...]\n"
                         "       orvo_bench --counts IMAGE...\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--peak") == 0) {  // a run of its own, for its peak memory
        try {
            return detect_for_peak(argv[2], std::max(1, std::atoi(argv[3])), argv[4]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "orvo_bench: %s\n", e.what());
            return 1;
        }
    }
    launcher runs;  // before anything is loaded: see launcher.h
    cv::setNumThreads(0);
    std::vector<std::string> names;
    bool counts = false;
    report_settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--counts") == 0) counts = true;
        else if (std::strcmp(argv[i], "--report") == 0) continue;
        else if (std::strcmp(argv[i], "--quick") == 0) settings.quick = true;
        else if (std::strcmp(argv[i], "--dense") == 0) settings.presets = {"dense"};
        else if (std::strcmp(argv[i], "--classic") == 0) settings.presets = {"classic"};
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            settings.repeat = std::max(1, std::atoi(argv[++i]));
        else if (argv[i][0] == '-') return usage();
        else names.push_back(argv[i]);
    }
    try {
        if (counts) {
            if (names.empty()) return usage();
            print_counts(names);
            return 0;
        }
        return report(runs, names, settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvo_bench: %s\n", e.what());
        return 1;
    }
}
