// Receive batching of one client: its thread wakes once per batch of data instead of once per packet the
// server sends. On a fast link the wake-ups, not the bytes, are most of a download's CPU, and each part
// thread waits on its own connection, so packets cannot be gathered across connections as one event loop
// would. Used on the thread of the client's transfers (inside the client's callbacks).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace pollwick {

// Before each wait for data the socket's low-water mark is set from the rate measured over the last
// reads: about kWindow of data, at most kMaxBatch and never more than the answer still owes, so its last
// bytes are never waited on. When the data slows, the mark drops back to one byte, so a slow server is
// read as it sends; outside a batched answer, and after one, the connection stays at one byte. Only a
// client with one open connection batches: the mark must go on the socket that carries the answer.
class ReceiveBatch {
public:
    static constexpr std::chrono::microseconds kWindow{25000};
    static constexpr int64_t kMaxBatch = 256 * 1024;
    // The client's receive buffer takes a whole batch in one read.
    static constexpr long kReceiveBuffer = 2 * kMaxBatch;

    // The client opened or closed one of its sockets.
    void Opened(int socket);
    void Closed(int socket);
    // A new answer begins: the rate is measured afresh.
    void StartAnswer();
    // n body bytes of a batched answer arrived.
    void Received(int64_t n) { readBytes_ += n; }
    // Before the client waits for data again (its progress callback): remaining is what the answer still
    // owes, or -1 outside a batched answer.
    void BeforeWait(int64_t remaining);
    // The answer is over, however it ended.
    void FinishAnswer();

private:
    using Clock = std::chrono::steady_clock;
    void Apply(int64_t lowWater);

    std::vector<int> sockets_;      // open sockets of the client
    Clock::time_point lastRead_{};  // when the last bytes were counted; empty before the answer's first
    int64_t readBytes_ = 0;         // counted since then
    int64_t lowWater_ = 1;          // as set on the one socket
};

}  // namespace pollwick
