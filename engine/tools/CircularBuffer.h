// A thread-safe byte ring for one producer and one consumer. The producer writes blocks, the consumer
// reads or discards them; each side may block until the other has made data or room. The ring grows on
// demand up to a soft ceiling, and it can be told that no more data will come (EndWriting) or that
// every operation is over (Terminate).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Event.h"

class TCircularBuffer {
public:
    static constexpr int kDefaultCapacity = 1048576;
    static constexpr int kGrowQuantum = 8192;

    TCircularBuffer() : TCircularBuffer(kDefaultCapacity) {}
    explicit TCircularBuffer(int ACapacity);
    ~TCircularBuffer();
    TCircularBuffer(const TCircularBuffer&) = delete;
    TCircularBuffer& operator=(const TCircularBuffer&) = delete;

    void InitBuffer(int ACapacity);
    void FreeBuffer();
    // Empties the ring and clears the end-of-writing and terminate marks.
    void Reset();
    void EndWriting();
    // Ends every wait at once; reads, writes and discards return -1 until Reset. Returns once no call
    // is left inside the ring (bounded).
    void Terminate();

    bool IsEmpty();
    bool IsFull();
    int DataSize();
    int SpaceSize();
    int Capacity();
    int64_t WriteCount();
    int64_t ReadCount();

    // Bytes dropped, or -1 when terminated.
    int Discard(int ACount);
    // Bytes copied (as soon as any are there, possibly fewer than asked); 0 when empty and not waiting
    // for data; -1 when empty after EndWriting, or when terminated.
    int Read(void* ABuffer, int ACount);
    // ACount, 0 when it does not fit and not waiting for room, -1 when terminated. A block at least as
    // large as the ring always makes it grow.
    int Write(const void* ABuffer, int ACount);
    void SetCapacity(int ACapacity);

    std::atomic<bool> AutoGrow{true};
    std::atomic<int> AutoGrowMax{16777216};
    std::atomic<bool> WaitForData{true};
    std::atomic<bool> WaitForSpace{true};

private:
    // A call inside the ring, so that Terminate and the destructor know when waiters have left.
    class TCallGuard;

    bool _IsEmpty() const { return FHead == FTail; }
    int _DataSize() const;
    int _SpaceSize() const;
    void _SetCapacity(int ACapacity);
    // Resizes the storage to ASize rounded up to 8 KiB, keeping wrapped data in order when it grows.
    void _Realloc(int ASize);
    static int GrownCapacity(int ACapacity, int ARoom, int ACount);
    // Waits on AEvent until it is set or the ring is terminated; false when terminated.
    bool WaitOn(platform::TEvent& AEvent);
    void CopyIn(const uint8_t* ASource, int ACount);
    void CopyOut(uint8_t* ADest, int ACount);

    std::mutex FLock;  // guards the storage, positions, counters and flags below
    std::vector<uint8_t> FMemory;
    int FCapacity = 0;
    int FHead = 0;
    int FTail = 0;
    int64_t FWriteCount = 0;
    int64_t FReadCount = 0;
    bool FEndOfWriting = false;
    std::atomic<bool> FTerminated{false};
    platform::TEvent FDataEvent{true, false};
    platform::TEvent FSpaceEvent{true, false};
    std::atomic<int> activeCalls_{0};
};

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// The ring as a stream, for code that writes into a stream. Size and position are the stream's own
// bookkeeping; they say nothing about what the ring holds.
class TCircularBufferStream {
public:
    TCircularBufferStream() : TCircularBufferStream(TCircularBuffer::kDefaultCapacity) {}
    explicit TCircularBufferStream(int ACapacity) : FBuffer(ACapacity) {}

    TCircularBuffer& Buffer() { return FBuffer; }
    int64_t GetSize() const { return FSize; }
    void SetSize(int64_t ASize);
    int64_t Position() const { return FPosition; }
    int Read(void* ABuffer, int ACount) { return FBuffer.Read(ABuffer, ACount); }
    int Write(const void* ABuffer, int ACount);
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin);

private:
    TCircularBuffer FBuffer;
    // 64-bit, so that a stream written past 2 GiB keeps counting.
    int64_t FSize = 0;
    int64_t FPosition = 0;
};
