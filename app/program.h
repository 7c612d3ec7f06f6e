// What the classic executables do around their work: output that fails
// (and is reported) rather than ending the process when standard output is
// closed or a file size limit is reached, and memory exhaustion, whether the
// standard library or the image library reports it, ending the run with
// "NAME: out of memory" and status 1.
#pragma once

int run_program(const char* name, int (*run)(int, char**), int argc, char** argv);
