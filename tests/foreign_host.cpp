// A library that, once preloaded into a program, does what some system
// libraries do when they are loaded (a BLAS, an OpenMP or TBB runtime, a
// host application): it starts a thread of its own, which blocks no signal,
// and sets the process's locale to FOREIGN_HOST_LOCALE when that is set.
#include <clocale>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

namespace {

void* idle(void*)
{
    for (;;) pause();
}

__attribute__((constructor)) void behave_as_a_loaded_library()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, idle, nullptr) == 0) pthread_detach(thread);
    if (const char* locale = std::getenv("FOREIGN_HOST_LOCALE")) std::setlocale(LC_ALL, locale);
}

}  // namespace
