#include "engine/tools/CircularBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "engine/base/FFLog.h"

namespace {

// Waits are made in slices, so that a terminate that races with the reset of an event is still seen.
constexpr unsigned kWaitSliceMs = 100;
// How long Terminate gives blocked callers to leave before it logs and goes on.
constexpr auto kLeaveTimeout = std::chrono::seconds(5);

}  // namespace

class TCircularBuffer::TCallGuard {
public:
    explicit TCallGuard(TCircularBuffer& ABuffer) : FBuffer(ABuffer) { ++FBuffer.activeCalls_; }
    ~TCallGuard() { --FBuffer.activeCalls_; }
    TCallGuard(const TCallGuard&) = delete;
    TCallGuard& operator=(const TCallGuard&) = delete;

private:
    TCircularBuffer& FBuffer;
};

TCircularBuffer::TCircularBuffer(int ACapacity) {
    InitBuffer(ACapacity);
}

TCircularBuffer::~TCircularBuffer() {
    FreeBuffer();
}

void TCircularBuffer::InitBuffer(int ACapacity) {
    SetCapacity(ACapacity);
    Reset();
}

void TCircularBuffer::FreeBuffer() {
    Terminate();
    SetCapacity(0);
}

void TCircularBuffer::Reset() {
    {
        std::lock_guard lock(FLock);
        FHead = FTail = 0;
        FWriteCount = FReadCount = 0;
        FEndOfWriting = false;
        FTerminated = false;
    }
    FSpaceEvent.SetEvent();
}

void TCircularBuffer::EndWriting() {
    {
        std::lock_guard lock(FLock);
        FEndOfWriting = true;
    }
    FDataEvent.SetEvent();
}

void TCircularBuffer::Terminate() {
    {
        std::lock_guard lock(FLock);
        FTerminated = true;
    }
    FDataEvent.SetEvent();
    FSpaceEvent.SetEvent();
    // Blocked callers must be out before the storage may be freed.
    const auto deadline = std::chrono::steady_clock::now() + kLeaveTimeout;
    while (activeCalls_.load() > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            FFLogger().Log(nullptr, llError, "TCircularBuffer.Terminate: a caller did not leave the buffer");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int TCircularBuffer::_DataSize() const {
    return FCapacity == 0 ? 0 : (FCapacity + FTail - FHead) % FCapacity;
}

int TCircularBuffer::_SpaceSize() const {
    return FCapacity == 0 ? 0 : (FCapacity + FHead - FTail - 1) % FCapacity;
}

bool TCircularBuffer::IsEmpty() {
    std::lock_guard lock(FLock);
    return _IsEmpty();
}

bool TCircularBuffer::IsFull() {
    std::lock_guard lock(FLock);
    return FCapacity != 0 && (FTail + 1) % FCapacity == FHead;
}

int TCircularBuffer::DataSize() {
    std::lock_guard lock(FLock);
    return _DataSize();
}

int TCircularBuffer::SpaceSize() {
    std::lock_guard lock(FLock);
    return _SpaceSize();
}

int TCircularBuffer::Capacity() {
    std::lock_guard lock(FLock);
    return FCapacity;
}

int64_t TCircularBuffer::WriteCount() {
    std::lock_guard lock(FLock);
    return FWriteCount;
}

int64_t TCircularBuffer::ReadCount() {
    std::lock_guard lock(FLock);
    return FReadCount;
}

bool TCircularBuffer::WaitOn(platform::TEvent& AEvent) {
    while (!FTerminated) {
        if (AEvent.WaitFor(kWaitSliceMs) == platform::wrSignaled) {
            return true;
        }
    }
    return false;
}

void TCircularBuffer::CopyOut(uint8_t* ADest, int ACount) {
    const int first = std::min(ACount, FCapacity - FHead);
    std::memcpy(ADest, FMemory.data() + FHead, static_cast<size_t>(first));
    std::memcpy(ADest + first, FMemory.data(), static_cast<size_t>(ACount - first));
}

void TCircularBuffer::CopyIn(const uint8_t* ASource, int ACount) {
    const int first = std::min(ACount, FCapacity - FTail);
    std::memcpy(FMemory.data() + FTail, ASource, static_cast<size_t>(first));
    std::memcpy(FMemory.data(), ASource + first, static_cast<size_t>(ACount - first));
}

int TCircularBuffer::Discard(int ACount) {
    TCallGuard guard(*this);
    {
        std::lock_guard lock(FLock);
        if (FTerminated) {
            return -1;
        }
        ACount = std::clamp(ACount, 0, _DataSize());
        if (ACount > 0) {
            FHead = (FHead + ACount) % FCapacity;
        }
    }
    FSpaceEvent.SetEvent();
    return ACount;
}

int TCircularBuffer::Read(void* ABuffer, int ACount) {
    TCallGuard guard(*this);
    while (!FTerminated) {
        {
            std::lock_guard lock(FLock);
            if (!_IsEmpty()) {
                break;
            }
            if (FEndOfWriting) {
                return -1;
            }
            FDataEvent.ResetEvent();
        }
        if (!WaitForData) {
            return 0;
        }
        if (!WaitOn(FDataEvent)) {
            return -1;
        }
    }
    {
        std::lock_guard lock(FLock);
        if (FTerminated) {
            return -1;
        }
        ACount = std::clamp(ACount, 0, _DataSize());
        if (ACount > 0) {
            CopyOut(static_cast<uint8_t*>(ABuffer), ACount);
            FHead = (FHead + ACount) % FCapacity;
            FReadCount += ACount;
        }
    }
    FSpaceEvent.SetEvent();
    return ACount;
}

int TCircularBuffer::GrownCapacity(int ACapacity, int ARoom, int ACount) {
    int64_t capacity = ACapacity;
    int64_t step = 0;
    do {
        step = capacity > 64 ? capacity / 4 : (capacity < 9 ? 4 : 16);
        capacity += step;
    } while (step <= static_cast<int64_t>(ACount) - ARoom);
    if (capacity > INT32_MAX - kGrowQuantum) {
        throw std::bad_alloc();
    }
    return static_cast<int>(capacity);
}

int TCircularBuffer::Write(const void* ABuffer, int ACount) {
    TCallGuard guard(*this);
    if (ACount < 0) {
        return 0;
    }
    while (!FTerminated) {
        {
            std::lock_guard lock(FLock);
            const int room = _SpaceSize();
            if (room >= ACount) {
                break;
            }
            const bool mayGrow = AutoGrow && FCapacity < AutoGrowMax;
            if (mayGrow || ACount >= FCapacity) {
                _SetCapacity(GrownCapacity(FCapacity, room, ACount));
                break;
            }
            FSpaceEvent.ResetEvent();
        }
        if (!WaitForSpace) {
            return 0;
        }
        if (!WaitOn(FSpaceEvent)) {
            return -1;
        }
    }
    {
        std::lock_guard lock(FLock);
        if (FTerminated) {
            return -1;
        }
        if (ACount > 0) {
            CopyIn(static_cast<const uint8_t*>(ABuffer), ACount);
            FTail = (FTail + ACount) % FCapacity;
            FWriteCount += ACount;
        }
    }
    FDataEvent.SetEvent();
    return ACount;
}

void TCircularBuffer::SetCapacity(int ACapacity) {
    std::lock_guard lock(FLock);
    _SetCapacity(ACapacity);
}

void TCircularBuffer::_SetCapacity(int ACapacity) {
    _Realloc(ACapacity);
}

void TCircularBuffer::_Realloc(int ASize) {
    if (ASize < 0) {
        throw std::logic_error("Assertion failure");
    }
    if (ASize > 0) {
        ASize = (ASize + kGrowQuantum - 1) / kGrowQuantum * kGrowQuantum;
    }
    if (ASize == FCapacity) {
        return;
    }
    if (ASize == 0) {
        std::vector<uint8_t>().swap(FMemory);
        FCapacity = FHead = FTail = 0;
        return;
    }
    const int oldCapacity = FCapacity;
    FMemory.resize(static_cast<size_t>(ASize));
    FCapacity = ASize;
    if (ASize > oldCapacity && FTail < FHead) {
        const int added = ASize - oldCapacity;
        uint8_t* memory = FMemory.data();
        if (FTail == 0) {
            FTail = oldCapacity;
        } else if (FTail < added) {
            std::memcpy(memory + oldCapacity, memory, static_cast<size_t>(FTail));
            FTail += oldCapacity;
        } else {
            std::memcpy(memory + oldCapacity, memory, static_cast<size_t>(added));
            std::memmove(memory, memory + added, static_cast<size_t>(FTail - added));
            FTail -= added;
        }
    }
    FHead = std::min(FHead, ASize - 1);
    FTail = std::min(FTail, ASize - 1);
}

void TCircularBufferStream::SetSize(int64_t ASize) {
    FSize = ASize;
    if (FPosition > FSize) {
        Seek(0, soEnd);
    }
}

int TCircularBufferStream::Write(const void* ABuffer, int ACount) {
    if (FPosition < 0 || ACount < 0 || FPosition + ACount <= 0) {
        return 0;
    }
    FSize = std::max(FSize, FPosition + ACount);
    const int written = FBuffer.Write(ABuffer, ACount);
    if (written > 0) {
        FPosition += written;
    }
    return written;
}

int64_t TCircularBufferStream::Seek(int64_t AOffset, TSeekOrigin AOrigin) {
    switch (AOrigin) {
        case soBeginning:
            FPosition = AOffset;
            break;
        case soCurrent:
            FPosition += AOffset;
            break;
        case soEnd:
            FPosition = FSize + AOffset;
            break;
    }
    return FPosition;
}
