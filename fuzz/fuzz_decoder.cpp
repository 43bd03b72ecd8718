// libFuzzer target: the frame decoder and the information decoding, on arbitrary bytes.
// Checks that a stream decodes the same whole and in pieces, and that no frame exceeds the cap.

#include "agent/ipc/FrameDecoder.h"
#include "agent/ipc/IpcError.h"
#include "agent/ipc/protocol.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Item
{
    bool error;
    ipc::MessageId id;
    QByteArray data;
    bool operator==(const Item &o) const
    {
        return error == o.error && id == o.id && data == o.data;
    }
};

std::vector<Item> decode(const uint8_t *data, size_t size, size_t step)
{
    std::vector<Item> items;
    FrameDecoder decoder([&](ipc::Message &&m) { items.push_back({false, m.id, m.data}); },
                         [&](const QString &) { items.push_back({true, 0, {}}); });
    for (size_t i = 0; i < size; i += step)
        decoder.feed(reinterpret_cast<const char *>(data) + i, std::min(step, size - i));
    return items;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t step = 1 + data[0] % 13;
    const auto whole = decode(data + 1, size - 1, size);
    const auto pieces = decode(data + 1, size - 1, step);
    if (!(whole == pieces))
        std::abort();
    for (const Item &item : whole) {
        if (item.data.size() >= int(ipc::MAX_FRAME_LENGTH))
            std::abort();
        if (item.error || item.id != ipc::MSG_INFORMATION)
            continue;
        try {
            const QVariantMap info = ipc::decodeInformation(item.data);
            for (const char *key : {"idle", "maxSession"})
                if (info.contains(QString::fromLatin1(key)))
                    (void)ipc::wholeSeconds(info.value(QString::fromLatin1(key)));
        } catch (const ProtocolError &) {
        }
    }
    // The information decoder on the raw input too, without the framing in front of it.
    try {
        (void)ipc::decodeInformation(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    } catch (const ProtocolError &) {
    }
    return 0;
}
