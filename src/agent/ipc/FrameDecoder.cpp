#include "FrameDecoder.h"

#include <algorithm>
#include <utility>

FrameDecoder::FrameDecoder(FrameHandler onFrame, ErrorHandler onError)
    : onFrame_(std::move(onFrame)), onError_(std::move(onError))
{
}

void FrameDecoder::feed(const char *data, std::size_t size)
{
    while (size > 0) {
        switch (state_) {
        case State::Header: {
            const auto take = std::min<std::size_t>(size, ipc::HEADER_SIZE - headerFill_);
            std::copy_n(data, take, header_ + headerFill_);
            headerFill_ += static_cast<int>(take);
            data += take;
            size -= take;
            if (headerFill_ < ipc::HEADER_SIZE)
                return;
            headerFill_ = 0;
            length_ = (std::uint32_t(header_[0]) << 24) | (std::uint32_t(header_[1]) << 16) |
                      (std::uint32_t(header_[2]) << 8) | std::uint32_t(header_[3]);
            if (length_ == 0) {
                onError_(QStringLiteral("malformed frame: length 0"));
                break;
            }
            remaining_ = length_;
            if (length_ > ipc::MAX_FRAME_LENGTH) {
                state_ = State::Skip;
                onError_(QStringLiteral("frame of %1 bytes exceeds the limit of %2 bytes; skipped")
                             .arg(length_)
                             .arg(ipc::MAX_FRAME_LENGTH));
                break;
            }
            state_ = State::Body;
            body_.clear();
            body_.reserve(static_cast<int>(length_));
            break;
        }
        case State::Body: {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
            body_.append(data, static_cast<int>(take));
            data += take;
            size -= take;
            remaining_ -= take;
            if (remaining_ > 0)
                return;
            state_ = State::Header;
            ipc::Message message;
            message.id = static_cast<ipc::MessageId>(static_cast<unsigned char>(body_.at(0)));
            message.data = body_.mid(1);
            body_ = QByteArray();
            onFrame_(std::move(message));
            break;
        }
        case State::Skip: {
            const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
            data += take;
            size -= take;
            remaining_ -= take;
            if (remaining_ == 0)
                state_ = State::Header;
            break;
        }
        }
    }
}

QString FrameDecoder::pendingDescription() const
{
    switch (state_) {
    case State::Header:
        if (headerFill_ == 0)
            return {};
        return QStringLiteral("%1 of 4 header bytes").arg(headerFill_);
    case State::Body:
        return QStringLiteral("%1 of %2 frame bytes").arg(length_ - remaining_).arg(length_);
    case State::Skip:
        return QStringLiteral("%1 of %2 bytes of an oversized frame")
            .arg(length_ - remaining_)
            .arg(length_);
    }
    return {};
}
