#pragma once

// ipc/ is the service link's wire: the protocol, the frame decoder, this client, the check of
// who owns the service's socket, and their errors.

#include "FrameDecoder.h"
#include "protocol.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <variant>

class QThread;
class QTcpSocket;

// The agent's end of the service link.
//
// Threading model: the QTcpSocket lives in a private I/O thread with its own event loop and is
// touched only there. Incoming frames are decoded in that thread and handed over through a
// mutex-guarded queue that getMessage() blocks on; outgoing frames are posted to the I/O thread
// as queued calls, so sends never block the caller and keep their order, and stop() (posted
// the same way) only closes after everything sent before it has been written. getMessage() is
// called from the link thread; the sends, stop() and waitClosed() from the GUI thread or an exit
// hook's; start() from the GUI thread or a reconnect attempt's.
class ClientIPC
{
public:
    // Who owns the service's socket, from the port numbers of both ends.
    using OwnerLookup =
        std::function<std::optional<uid_t>(quint16 servicePort, quint16 clientPort)>;

    // `serviceUid`: the user the service end must belong to; -1 trusts any. `ownerLookup`:
    // the kernel's socket tables unless given.
    explicit ClientIPC(int port, qint64 serviceUid = -1, OwnerLookup ownerLookup = {});
    ~ClientIPC();

    ClientIPC(const ClientIPC &) = delete;
    ClientIPC &operator=(const ClientIPC &) = delete;

    // Connects to 127.0.0.1:port; throws IpcError when the service cannot be reached, and
    // UntrustedPeerError (before reading anything) when its socket belongs to another user.
    void start();

    // True while the connection is live or frames that arrived before it was lost are still
    // waiting to be read; false once stop() was called.
    bool running() const;

    // Blocks until a message arrives. Returns nothing once the client has stopped, or the
    // connection is gone and everything it delivered has been read. Throws ProtocolError for
    // a frame the decoder rejected (one failed message; the stream goes on).
    std::optional<ipc::Message> getMessage();

    // Each returns false when nothing could be queued (not connected, or stopped).
    bool requestInformation();
    bool sendLogin(const QString &userName);
    bool sendLogout(const QString &userName);
    bool sendFrame(ipc::MessageId id, const QByteArray &payload);

    // Writes what is queued (waiting at most kDrainMs for the service to take it), then closes.
    // Returns at once; a blocked getMessage() returns nothing.
    void stop();

    // Blocks until the I/O thread has closed the connection, at most `msecs`.
    bool waitClosed(int msecs);

    static constexpr int kConnectTimeoutMs = 2000;
    // Reading from the socket pauses while this many messages wait for the reader, and resumes
    // below kResumeEntries; with the socket's own buffer this bounds memory whatever arrives.
    static constexpr std::size_t kMaxQueuedEntries = 4096;
    static constexpr std::size_t kResumeEntries = 1024;
    static constexpr qint64 kReadBufferBytes = 256 * 1024;
    static constexpr std::size_t kReadChunkBytes = 16 * 1024;

    // The user that owns the service's socket, found when start() connected; nothing when the
    // kernel's socket tables do not say.
    std::optional<uid_t> serviceOwner() const { return owner_; }

    // Messages received and not yet read, for diagnostics and tests.
    std::size_t pending() const;
    static constexpr int kDrainMs = 2000;

private:
    using Entry = std::variant<ipc::Message, QString>; // a frame or a frame error

    // I/O thread only.
    void onReadyRead();
    void readAvailable(bool evenIfFull);
    void closeFromIo(const QString &reason);
    void drainThenClose();
    // Hands decoded entries to readers; caller holds mutex_.
    void moveBatchToInbox();

    const int port_;
    const qint64 serviceUid_;
    const OwnerLookup ownerLookup_;
    std::optional<uid_t> owner_;  // written in start() before it returns
    QThread *ioThread_ = nullptr; // deleted in the destructor once it has finished
    QTcpSocket *socket_ = nullptr;
    std::unique_ptr<FrameDecoder> decoder_;
    std::vector<Entry> batch_; // I/O thread scratch

    mutable std::mutex mutex_;
    std::condition_variable readable_;
    std::condition_variable closedCv_;
    std::deque<Entry> inbox_;
    bool connected_ = false; // socket open for sending
    bool closed_ = false;    // the I/O side is done (socket closed)
    bool stopped_ = false;   // stop() was called
    bool paused_ = false;    // reading waits for the reader to catch up
    bool flooded_ = false;   // reading was paused since the inbox was last empty
};
