#pragma once

#include "protocol.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

// Incremental decoder for link frames. Bytes go in as they arrive, in pieces of any size;
// whole frames and frame errors come out in stream order. It never buffers more than one frame
// of at most MAX_FRAME_LENGTH bytes: an oversized frame is skipped byte by byte as it streams
// past, so a hostile length cannot make it allocate.
class FrameDecoder
{
public:
    using FrameHandler = std::function<void(ipc::Message &&)>;
    using ErrorHandler = std::function<void(const QString &)>;

    FrameDecoder(FrameHandler onFrame, ErrorHandler onError);

    void feed(const char *data, std::size_t size);
    void feed(const QByteArray &bytes)
    {
        feed(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }

    // True when no frame is half read (a close now loses nothing).
    bool idle() const { return state_ == State::Header && headerFill_ == 0; }
    // Describes the half-read frame for a log line; empty when idle().
    QString pendingDescription() const;

private:
    enum class State { Header, Body, Skip };

    FrameHandler onFrame_;
    ErrorHandler onError_;
    State state_ = State::Header;
    unsigned char header_[ipc::HEADER_SIZE] = {};
    int headerFill_ = 0;
    std::uint32_t length_ = 0;    // of the current frame
    std::uint64_t remaining_ = 0; // bytes still to read or skip in Body / Skip
    QByteArray body_;
};
