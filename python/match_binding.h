// The matching functions of orvo._orvo, registered by the module.
#pragma once

#include <pybind11/pybind11.h>

void register_match_functions(pybind11::module_& module);
