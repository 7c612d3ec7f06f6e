// Allocation failures reported one way: the image library signals them with
// its own exception (code StsNoMem); the library throws std::bad_alloc.
#pragma once

#include <new>
#include <opencv2/core.hpp>

namespace orvo::detail {

template <class Work>
auto translate_out_of_memory(Work work) -> decltype(work())
{
    try {
        return work();
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) throw std::bad_alloc();
        throw;
    }
}

}  // namespace orvo::detail
