// The frame of the classic executables' main functions.
#include "app/program.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <opencv2/core.hpp>
#include <unistd.h>

#include "app/signal_cleanup.h"
#include "io/atomic_file.h"

namespace orvo::cli {

void end_process(int status)
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

void run_program(const char* name, int (*run)(int, char**), int argc, char** argv, int failure_status)
{
    orvo::detail::ignore_signals_for_file_output();
    orvo::detail::remove_temporary_files_on_signals();
    int status = 1;
    try {
        try {
            status = run(argc, argv);
        } catch (const cv::Exception& e) {
            if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
            throw;
        }
    } catch (const std::bad_alloc&) {
        std::cerr << name << ": out of memory" << std::endl;
        status = 1;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << std::endl;
        status = failure_status;
    }
    end_process(status);
}

}  // namespace orvo::cli
