// The frame of the classic executables' main functions.
#include "app/program.h"

#include <iostream>
#include <new>
#include <opencv2/core.hpp>

#include "io/atomic_file.h"

int run_program(const char* name, int (*run)(int, char**), int argc, char** argv)
{
    ignore_signals_for_file_output();
    try {
        try {
            return run(argc, argv);
        } catch (const cv::Exception& e) {
            if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
            throw;
        }
    } catch (const std::bad_alloc&) {
        std::cerr << name << ": out of memory" << std::endl;
        return 1;
    }
}
