#pragma once

// Out of threads on demand, as under a user slice's task limit: the test's own pthread_create,
// which the executable puts in front of the C library's. refuseNextHere() makes the next thread
// that this thread starts fail with EAGAIN; every other start goes through. Include in one
// source file of a test.

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>

namespace threadrefusal {

inline std::atomic<bool> armed{false};
inline pthread_t armedBy;

inline void refuseNextHere()
{
    armedBy = pthread_self();
    armed = true;
}

} // namespace threadrefusal

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg) noexcept
{
    if (threadrefusal::armed && pthread_equal(pthread_self(), threadrefusal::armedBy) &&
        threadrefusal::armed.exchange(false))
        return EAGAIN;
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return real(thread, attr, start, arg);
}
