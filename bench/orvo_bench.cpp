// Benchmark of the detector against OpenCV's MSER, and the stage counts.
//
//   orvo_bench [--repeat N] [--dense] [--threads N] [IMAGE...]
//                                        per-stage median times on one thread, MSER, the detection
//                                        on N threads (default 2) against one, whole runs, peak memory
//   orvo_bench --counts IMAGE...         the size of every stage, one image a column
//   orvo_bench --descriptors [--dense] [--threads N] IMAGE...
//                                        description per region against OpenCV's SIFT, on 1 and
//                                        N threads, and the descriptor executable's whole run
//
// An image that cannot be read ends it with a message and status 1.
//
// Without images it takes the photos of ../shared/data (when present), the
// bundled sample and generated textured images of 1, 6 and 24 megapixels.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <opencv2/features2d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench/launcher.h"
#include "orvo/orvo.h"
#include "tests/generated_image.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct stage_counts : orvo::DetectionStats {
    double file_ms = 0;
};

// A private folder for the benchmark's output files, removed at the end.
struct scratch_folder {
    std::string path;
    scratch_folder()
    {
        char name[] = "/tmp/orvo-bench-XXXXXX";
        if (mkdtemp(name) == nullptr) throw std::runtime_error("cannot create a scratch folder");
        path = name;
    }
    ~scratch_folder()
    {
        unlink((path + "/out.orvo").c_str());
        rmdir(path.c_str());
    }
    std::string output() const { return path + "/out.orvo"; }
};

stage_counts detect(const cv::Mat& colour, const std::string& output, const orvo::DetectorOptions& options = {})
{
    stage_counts counts;
    const std::vector<orvo::Region> regions = orvo::detect(colour, options, &counts);
    const auto start = clock_type::now();
    orvo::write_region_file(output, regions);
    counts.file_ms = ms_since(start);
    return counts;
}

void print_counts(const std::vector<std::string>& names)
{
    const scratch_folder scratch;
    std::vector<stage_counts> all;
    for (const std::string& name : names) all.push_back(detect(orvo::read_image(name), scratch.output()));
    auto row = [&](const char* label, const std::function<std::size_t(const stage_counts&)>& field) {
        std::printf("| %-26s |", label);
        for (const stage_counts& c : all) std::printf(" %zu |", field(c));
        std::printf("\n");
    };
    std::printf("| %-26s |", "stage");
    for (const std::string& name : names) std::printf(" %s |", name.substr(name.find_last_of('/') + 1).c_str());
    std::printf("\n");
    row("high threshold", [](const stage_counts& c) { return c.high_threshold; });
    row("low threshold", [](const stage_counts& c) { return c.low_threshold; });
    row("edge pixels", [](const stage_counts& c) { return c.edge_pixels; });
    row("sampled points", [](const stage_counts& c) { return c.sampled_points; });
    row("points inserted (g >= 10)", [](const stage_counts& c) { return c.points_inserted; });
    row("gap midpoints found", [](const stage_counts& c) { return c.midpoints_found; });
    row("midpoints inserted", [](const stage_counts& c) { return c.midpoints_inserted; });
    row("triangulation vertices", [](const stage_counts& c) { return c.vertices; });
    row("finite triangles", [](const stage_counts& c) { return c.triangles; });
    row("finite edges", [](const stage_counts& c) { return c.edges; });
    row("face-table rows", [](const stage_counts& c) { return c.face_rows; });
    row("live tree nodes", [](const stage_counts& c) { return c.live_nodes; });
    row("selected nodes", [](const stage_counts& c) { return c.selected; });
    row("ellipses written", [](const stage_counts& c) { return c.regions; });
}

// The wall time and the processor time of the whole process (all its
// threads), in milliseconds. On a machine shared with other work the
// processor time of a one-thread call is the steadier figure.
struct call_time {
    double wall = 0, cpu = 0;
};

double process_cpu_ms()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

template <class Call>
call_time time_call(const Call& call)
{
    const auto start = clock_type::now();
    const double cpu_start = process_cpu_ms();
    call();
    return {ms_since(start), process_cpu_ms() - cpu_start};
}

struct call_times {
    std::vector<double> wall, cpu;
    void add(const call_time& t)
    {
        wall.push_back(t.wall);
        cpu.push_back(t.cpu);
    }
};

struct bench_settings {
    bool dense = false;  // the dense preset's regions instead of the classic ones
    int threads = 2;     // the detection's and the description's second measurement
    int repeat = 5;
};

// The regions as lines, in order, to compare the detections of two thread counts.
std::vector<std::string> region_lines(const std::vector<orvo::Region>& regions)
{
    std::vector<std::string> lines;
    for (const orvo::Region& r : regions) {
        char line[160];
        std::snprintf(line, sizeof line, "%.17g %.17g %.17g %.17g %.17g", r.x, r.y, r.a, r.b, r.c);
        lines.push_back(line);
    }
    return lines;
}

void bench_image(launcher& runs, const std::string& label, const std::string& file, const bench_settings& settings,
                 int repeat)
{
    orvo::DetectorOptions options = settings.dense ? orvo::DetectorOptions::dense() : orvo::DetectorOptions();
    orvo::DetectorOptions threaded = options;
    threaded.threads = settings.threads;
    std::vector<double> one_wall, one_cpu, threaded_wall, mser_cpu;
    bool same_regions = true;
    std::vector<double> load, canny, points, alpha, table, tree, select, extract, file_ms, total, mser;
    stage_counts counts;
    cv::Mat colour;
    const scratch_folder scratch;
    const std::string output = scratch.output();
    for (int i = 0; i < repeat; ++i) {
        auto start = clock_type::now();
        colour = orvo::read_image(file);
        load.push_back(ms_since(start));

        start = clock_type::now();
        counts = detect(colour, output, options);
        total.push_back(ms_since(start) - counts.file_ms);
        canny.push_back(counts.canny_ms);
        points.push_back(counts.points_ms);
        alpha.push_back(counts.alpha_ms);
        table.push_back(counts.face_table_ms);
        tree.push_back(counts.tree_ms);
        select.push_back(counts.selection_ms);
        extract.push_back(counts.extraction_ms);
        file_ms.push_back(counts.file_ms);

        cv::Mat grey = colour;
        const call_time mser_time = time_call([&] {
            if (colour.channels() == 3) cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
            std::vector<std::vector<cv::Point>> regions;
            std::vector<cv::Rect> boxes;
            cv::MSER::create()->detectRegions(grey, regions, boxes);
        });
        mser.push_back(mser_time.wall);
        mser_cpu.push_back(mser_time.cpu);

        std::vector<orvo::Region> one, several;
        const call_time single = time_call([&] { one = orvo::detect(colour, options); });
        threaded_wall.push_back(time_call([&] { several = orvo::detect(colour, threaded); }).wall);
        one_wall.push_back(single.wall);
        one_cpu.push_back(single.cpu);
        same_regions = same_regions && region_lines(one) == region_lines(several);
    }
    std::vector<double> orvo_runs, mser_runs;
    double orvo_peak = 0, mser_peak = 0;
    for (int i = 0; i < repeat; ++i) {
        const process_run o = runs.run(ORVO_EXECUTABLE, settings.dense ? std::vector<std::string>{"-i", file, "--dense"}
                                                                      : std::vector<std::string>{"-i", file});
        const process_run m = runs.run(MSER_EXECUTABLE, {file});
        orvo_runs.push_back(o.ms);
        mser_runs.push_back(m.ms);
        orvo_peak = std::max(orvo_peak, o.peak_mb);
        mser_peak = std::max(mser_peak, m.peak_mb);
    }
    unlink((file + ".orvo").c_str());

    const double mp = colour.cols * static_cast<double>(colour.rows) / 1e6;
    std::printf("%s: %d x %d (%.2f MP), %zu points inserted, %zu face rows, %zu selected, %zu ellipses\n",
                label.c_str(), colour.cols, colour.rows, mp, counts.points_inserted + counts.midpoints_inserted,
                counts.face_rows, counts.selected, counts.regions);
    std::printf("  median ms: load %.1f | canny %.1f | points+triangulation %.1f | alpha %.1f | face table %.1f | "
                "tree %.1f | selection %.2f | extraction %.1f | file %.2f\n",
                median(load), median(canny), median(points), median(alpha), median(table), median(tree),
                median(select), median(extract), median(file_ms));
    std::printf("  detection %.1f ms (%.1f ms/MP) | MSER %.1f ms | ratio %.2f\n", median(total), median(total) / mp,
                median(mser), median(total) / median(mser));
    std::printf("  processor time: detection %.1f ms | MSER %.1f ms | ratio %.2f\n", median(one_cpu), median(mser_cpu),
                median(one_cpu) / median(mser_cpu));
    std::printf("  one thread: %.1f ms wall | %d threads: %.1f ms wall, ratio %.2f, %s regions\n", median(one_wall),
                settings.threads, median(threaded_wall), median(threaded_wall) / median(one_wall),
                same_regions ? "the same" : "OTHER");
    std::printf("  whole run: orvo %.1f ms, %.1f MB peak | mser_run %.1f ms, %.1f MB peak | ratio %.2f\n\n",
                median(orvo_runs), orvo_peak, median(mser_runs), mser_peak, median(orvo_runs) / median(mser_runs));
    std::fflush(stdout);
}



// Description of the detector's regions, scaled by 3 as "-sift" hands them
// over, on one thread and on settings.threads, against OpenCV's SIFT on the
// same grey image, one thread each: its description per keypoint (all its
// own keypoints; detectAndCompute minus detect) and detection + description
// against detectAndCompute. Then the descriptor executable as a whole run,
// with its peak memory. One-thread figures are processor times.
void bench_descriptors(launcher& runs, const std::string& file, const bench_settings& settings)
{
    const cv::Mat colour = orvo::read_image(file);
    const orvo::DetectorOptions detector = settings.dense ? orvo::DetectorOptions::dense() : orvo::DetectorOptions();
    cv::Mat grey = colour;
    if (colour.channels() == 3) cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    const cv::Ptr<cv::SIFT> sift = cv::SIFT::create();
    orvo::DescriptorOptions threaded;
    threaded.threads = settings.threads;

    std::vector<orvo::Region> regions;
    std::vector<cv::KeyPoint> keypoints;
    call_times detection, one_thread, threads, sift_detection, sift_both;
    for (int i = 0; i < settings.repeat; ++i) {
        detection.add(time_call([&] {
            regions = orvo::scaled(orvo::detect(colour, detector), orvo::MEASUREMENT_SCALE);
        }));
        one_thread.add(time_call([&] { orvo::describe(grey, regions); }));
        threads.add(time_call([&] { orvo::describe(grey, regions, nullptr, threaded); }));
        sift_detection.add(time_call([&] { sift->detect(grey, keypoints); }));
        cv::Mat descriptors;
        sift_both.add(time_call([&] { sift->detectAndCompute(grey, cv::noArray(), keypoints, descriptors); }));
    }
    const double n = static_cast<double>(regions.size()), m = static_cast<double>(keypoints.size());
    const double ours = median(one_thread.cpu), theirs = median(sift_both.cpu) - median(sift_detection.cpu);
    const double detected = median(detection.cpu);
    std::printf("%s (%d x %d), %s regions; processor times of one thread, medians of %d\n",
                file.substr(file.find_last_of('/') + 1).c_str(), grey.cols, grey.rows,
                settings.dense ? "dense" : "classic", settings.repeat);
    std::printf("  description of %zu regions: %.1f ms (%.1f us each) | wall: 1 thread %.1f ms, %d threads %.1f ms "
                "(%.2fx)\n", regions.size(), ours, 1000 * ours / n, median(one_thread.wall), settings.threads,
                median(threads.wall), median(threads.wall) / median(one_thread.wall));
    std::printf("  OpenCV SIFT description of %zu keypoints: %.1f ms (%.1f us each) | ratio per region %.2f\n",
                keypoints.size(), theirs, 1000 * theirs / m, (ours / n) / (theirs / m));
    std::printf("  detection %.1f + description %.1f = %.1f ms | SIFT detection %.1f + description %.1f = %.1f ms | "
                "ratio %.2f\n", detected, ours, detected + ours, median(sift_detection.cpu), theirs,
                median(sift_both.cpu), (detected + ours) / median(sift_both.cpu));

    const scratch_folder scratch;
    orvo::write_region_file(scratch.output(), regions, 0.0);
    const std::string descriptors = scratch.path + "/out.sift";
    std::vector<double> whole;
    double peak = 0;
    for (int i = 0; i < settings.repeat; ++i) {
        const process_run r = runs.run(DESCRIPTORS_EXECUTABLE,
                                       {"-i", file, "-sift", "-p1", scratch.output(), "-o1", descriptors});
        whole.push_back(r.ms);
        peak = std::max(peak, r.peak_mb);
    }
    unlink(descriptors.c_str());
    std::printf("  whole descriptor run: %.1f ms, %.1f MB peak\n", median(whole), peak);
    std::fflush(stdout);
}

// The benchmark the command line asks for.
int run(launcher& runs, const std::vector<std::string>& names, bool counts, bool descriptors,
        const bench_settings& settings)
{
    const int repeat = settings.repeat;
    if (counts) {
        print_counts(names);
        return 0;
    }
    if (descriptors) {
        for (const std::string& name : names) bench_descriptors(runs, name, settings);
        return 0;
    }
    std::vector<std::pair<std::string, std::string>> images;  // label, file
    for (const std::string& name : names) images.emplace_back(name, name);
    if (names.empty()) {
        for (const char* photo : {"butterfly.jpg", "simple.jpg", "eiffel_tower1.jpg", "eiffel_tower2.jpg"}) {
            const std::string file = std::string(ORVO_SHARED_DATA) + "/" + photo;
            struct stat info;
            if (stat(file.c_str(), &info) == 0) images.emplace_back(photo, file);
        }
        images.emplace_back("sample.png", ORVO_SAMPLE);
        const std::pair<int, int> sizes[] = {{1224, 817}, {3000, 2000}, {6000, 4000}};
        for (const auto& size : sizes) {
            const std::string file = "/tmp/orvo-bench-" + std::to_string(size.first) + "x" + std::to_string(size.second) + ".png";
            struct stat info;
            if (stat(file.c_str(), &info) != 0) cv::imwrite(file, generated_image(size.first, size.second, 5));
            images.emplace_back("generated " + std::to_string(size.first) + "x" + std::to_string(size.second), file);
        }
    }
    for (const auto& image : images) bench_image(runs, image.first, image.second, settings,
                    image.first.rfind("generated 6000", 0) == 0 ? std::min(repeat, 3) : repeat);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    launcher runs;  // before anything is loaded: see launcher.h
    cv::setNumThreads(0);
    std::vector<std::string> names;
    bool counts = false, descriptors = false;
    bench_settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--counts") == 0) counts = true;
        else if (std::strcmp(argv[i], "--descriptors") == 0) descriptors = true;
        else if (std::strcmp(argv[i], "--dense") == 0) settings.dense = true;
        else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
            settings.repeat = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            settings.threads = std::max(1, std::atoi(argv[++i]));
        else if (argv[i][0] == '-') {
            std::fprintf(stderr, "Usage: orvo_bench [--repeat N] [--dense] [--threads N] [IMAGE...] | --counts IMAGE... |\n"
                                 "       --descriptors [--dense] [--threads N] [--repeat N] IMAGE...\n");
            return 1;
        } else names.push_back(argv[i]);
    }
    try {
        return run(runs, names, counts, descriptors, settings);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvo_bench: %s\n", e.what());
        return 1;
    }
}
