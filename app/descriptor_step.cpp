// Handing the regions to the descriptor executable and timing it.
#include "app/descriptor_step.h"

#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>

#include "app/child_process.h"

namespace orvo::cli {

bool compute_descriptors(const std::string& image_name, const std::string& ellipse_file_name, double timeout_seconds)
{
    const auto start = std::chrono::steady_clock::now();
    child_watch watch;
    pid_t pid = 0;
    const int spawn_error = spawn({DESCRIPTOR_EXECUTABLE, "-i", image_name, "-sift", "-p1", ellipse_file_name, "-o1",
                                   ellipse_file_name + ".sift"},
                                  -1, true, pid);

    std::string failure;
    if (spawn_error != 0) {
        failure = std::string("could not be started: ") + std::strerror(spawn_error);
    } else {
        const child_end end = watch.wait(pid, timeout_seconds);
        if (end.timed_out) {
            std::ostringstream limit;
            limit << timeout_seconds;
            failure = "was stopped after " + limit.str() + " s (ORVO_DESCRIPTOR_TIMEOUT)";
        } else {
            failure = unsuccessful_end(end);
        }
    }
    if (!failure.empty()) std::cerr << DESCRIPTOR_EXECUTABLE << " " << failure << std::endl;

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Descriptors computed in: " << seconds << " s " << std::endl;
    return failure.empty();
}

}  // namespace orvo::cli
