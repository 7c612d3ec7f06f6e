// The detector's driver: parses the command line, runs the stages in order
// under a user-CPU-time stopwatch, writes the ellipse file, then the optional
// drawing, window, PNG and descriptors.
//
// Exit status: 0 after a completed run; 1 when the command line is rejected
// or memory runs out; 2 when an output step failed (ellipse file, drawing,
// window, PNG, descriptors); 255 when no image is named or it cannot be read.
#include <CGAL/Timer.h>
#include <iostream>
#include <new>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/detection.h"
#include "app/output_steps.h"
#include "edges/edge_points.h"
#include "ellipse/ellipse_file.h"

namespace {

int run(int argc, char** argv)
{
    CGAL::Timer stopwatch;
    stopwatch.start();
    cv::setNumThreads(0);  // one thread: the image library's stages too

    parameters params;
    Alpha_shape_2 shape;
    std::vector<std::vector<double>> ellipses;

    print_info_PUBLIC();
    if (!get_exec_params_public(argc, argv, params)) return 1;
    if (params.image_name.empty()) {
        std::cerr << "unable to open file for input" << std::endl;
        return 255;
    }

    image_input_canny(params, shape);
    std::cout << params.image_name << ": ";

    if (!detect_regions(params, shape, ellipses)) return 1;

    stopwatch.stop();
    std::cout << "Alpha features extracted in: " << stopwatch.time() << " s " << std::endl;

    scale_ellipses(ellipses, params.scale);
    const std::string ellipse_file_name = params.image_name + ".orvo";
    bool outputs_ok = save_ellipses_file(ellipses, ellipse_file_name);

    if (params.save || params.disp)
        outputs_ok = draw_show_and_save(params.image_name, ellipses, params.disp, params.save) && outputs_ok;
    if (params.sift == 1) outputs_ok = compute_descriptors(params.image_name, ellipse_file_name) && outputs_ok;

    return outputs_ok ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "orvo: out of memory" << std::endl;
        return 1;
    }
}
