// Preloaded into the agent by the clock-step test: shifts the wall clock alone (CLOCK_REALTIME,
// gettimeofday, time) by the whole seconds in $WALL_CLOCK_SHIFT_FILE ("+7200", "-7200"), read
// again at most every 200 ms; the monotonic and boot clocks are left alone. Written here, with no
// lock and no allocation on the clock path, because libfaketime 0.9.12 (Debian 14) sometimes hung
// the agent inside its own clock calls.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

static _Atomic(clock_gettime_fn) real_clock_gettime;
static _Atomic long long shift_seconds;
static _Atomic long long read_at_ms = -1000000;

static clock_gettime_fn real(void)
{
    clock_gettime_fn f = atomic_load(&real_clock_gettime);
    if (!f) {
        *(void **)&f = dlsym(RTLD_NEXT, "clock_gettime"); // as POSIX's dlsym example does
        atomic_store(&real_clock_gettime, f);
    }
    return f;
}

static long long shift(void)
{
    struct timespec now;
    if (real()(CLOCK_MONOTONIC, &now) != 0)
        return atomic_load(&shift_seconds);
    const long long ms = (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
    if (ms - atomic_load(&read_at_ms) >= 200) {
        atomic_store(&read_at_ms, ms);
        const char *path = getenv("WALL_CLOCK_SHIFT_FILE");
        const int fd = path ? open(path, O_RDONLY | O_CLOEXEC) : -1;
        if (fd >= 0) {
            char text[32];
            const ssize_t n = read(fd, text, sizeof text - 1);
            close(fd);
            if (n > 0) {
                text[n] = 0;
                atomic_store(&shift_seconds, strtoll(text, NULL, 10));
            }
        }
    }
    return atomic_load(&shift_seconds);
}

int clock_gettime(clockid_t id, struct timespec *ts)
{
    const int status = real()(id, ts);
    if (status == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE))
        ts->tv_sec += shift();
    return status;
}

int gettimeofday(struct timeval *tv, void *tz)
{
    struct timespec ts;
    const int status = clock_gettime(CLOCK_REALTIME, &ts);
    if (status == 0) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    if (tz)
        ((struct timezone *)tz)->tz_minuteswest = ((struct timezone *)tz)->tz_dsttime = 0;
    return status;
}

time_t time(time_t *out)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (out)
        *out = ts.tv_sec;
    return ts.tv_sec;
}
