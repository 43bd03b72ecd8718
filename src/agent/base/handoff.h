#pragma once

// Hand-offs between the agent's threads through Qt's event queues, told to ThreadSanitizer.
// Debian's Qt is not built with it, so TSan cannot see that a queued call or a queued signal
// orders what the sender did before it and what the receiver does in it; told so here, it sees
// those edges and nothing more, and reports a race in a slot as the race it is. Every post of the
// agent's from one thread to another goes through here. Without TSan all of it is plain Qt.

#include <QMetaObject>
#include <QObject>

#include <condition_variable>
#include <mutex>
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

// Released at its own address as it is moved into the place where Qt queues the call: Qt moves
// the closure into its slot object only after the post has begun, so a release before the post
// would leave out the writes of that move, and the receiver acquires at that address before it
// reads any of the closure. The last capture, so that every other one is in place by then.
class Edge
{
public:
    explicit Edge(const void *channel) : channel_(channel) {}
    Edge(Edge &&other) noexcept : channel_(other.channel_) { release(this); }
    Edge(const Edge &other) : channel_(other.channel_) { release(this); }
    // Qt frees the closure on whichever thread lets go of it last: the one that posted it, too.
    ~Edge() { acquire(this); }
    Edge &operator=(const Edge &) = delete;
    // On the receiving thread, before the closure is read, and once it is done with it.
    void arrive() const { acquire(this); }
    void leave() const { release(this); }
    const void *channel() const { return channel_; }

private:
    const void *channel_;
};

// `work` queued to `context`'s thread, as QMetaObject::invokeMethod does it.
template <typename Work> bool post(QObject *context, Work &&work)
{
    return QMetaObject::invokeMethod(
        context,
        [work = std::forward<Work>(work), edge = Edge(context)]() mutable {
            edge.arrive();
            {
                auto here = std::move(work); // what it carries ends on this thread
                here();
            }
            edge.leave();
        },
        Qt::QueuedConnection);
}

// `work` run on `context`'s thread while this one waits for it, as Qt::BlockingQueuedConnection
// does, but the wait is the agent's own: Qt frees its slot object on this thread before it
// returns, and TSan could not see that the other thread was done with it. Also returns, with
// false, when `context` is gone before it ran `work`.
template <typename Work> bool call(QObject *context, Work &&work)
{
    struct Latch
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false, ran = false;
    } latch;
    // Opens the latch when Qt destroys the call, run or not.
    struct Opener
    {
        Latch *latch;
        explicit Opener(Latch *l) : latch(l) {}
        Opener(Opener &&other) noexcept : latch(std::exchange(other.latch, nullptr)) {}
        ~Opener()
        {
            if (!latch)
                return;
            std::lock_guard<std::mutex> lock(latch->mutex);
            latch->open = true;
            latch->opened.notify_all();
        }
    };
    post(context, [&work, opener = Opener(&latch)] {
        work();
        opener.latch->ran = true; // under the latch's mutex when the opener's end publishes it
    });
    std::unique_lock<std::mutex> lock(latch.mutex);
    latch.opened.wait(lock, [&latch] { return latch.open; });
    return latch.ran;
}

} // namespace handoff
