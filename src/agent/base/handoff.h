#pragma once

// Hand-offs between the agent's threads through Qt's event queues, told to ThreadSanitizer.
// Debian's Qt is not built with it, so TSan cannot see that a queued call or a queued signal
// orders what the sender did before it and what the receiver does in it; told so here, it sees
// those edges and nothing more, and reports a race in a slot as the race it is. Every post of the
// agent's from one thread to another goes through here. Without TSan all of it is plain Qt.

#include <QMetaObject>
#include <QObject>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#define BRIMVAULT_TELL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define BRIMVAULT_TELL_TSAN 1
#endif
#endif
#ifdef BRIMVAULT_TELL_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace handoff {

// On the sending thread, before the queued call or signal that carries what it wrote.
inline void release([[maybe_unused]] const void *channel)
{
#ifdef BRIMVAULT_TELL_TSAN
    __tsan_release(const_cast<void *>(channel));
#endif
}

// On the receiving thread, in that call or slot, before anything it carries is read.
inline void acquire([[maybe_unused]] const void *channel)
{
#ifdef BRIMVAULT_TELL_TSAN
    __tsan_acquire(const_cast<void *>(channel));
#endif
}

// `work` queued to `context`'s thread, as QMetaObject::invokeMethod does it.
template <typename Work> bool post(QObject *context, Work &&work)
{
    release(context);
    return QMetaObject::invokeMethod(
        context,
        [context, work = std::forward<Work>(work)]() mutable {
            acquire(context);
            work();
        },
        Qt::QueuedConnection);
}

// `work` run on `context`'s thread while this one waits for it (Qt::BlockingQueuedConnection):
// the edge goes there and back.
template <typename Work> bool call(QObject *context, Work &&work)
{
    release(context);
    const bool queued = QMetaObject::invokeMethod(
        context,
        [context, &work] {
            acquire(context);
            work();
            release(context);
        },
        Qt::BlockingQueuedConnection);
    acquire(context);
    return queued;
}

} // namespace handoff
