#include "engine/tools/CircularBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> Counting(int ACount, int AStart = 0) {
    std::vector<uint8_t> bytes(static_cast<size_t>(ACount));
    for (int i = 0; i < ACount; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>((AStart + i) * 7 + (AStart + i) / 251);
    }
    return bytes;
}

TEST(CircularBufferTest, CapacityIsRoundedUpAndOneByteStaysFree) {
    TCircularBuffer ring(100);
    EXPECT_EQ(ring.Capacity(), 8192);
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_EQ(ring.SpaceSize(), 8191);
    ring.AutoGrow = false;
    ring.WaitForSpace = false;
    const auto bytes = Counting(8192);
    EXPECT_EQ(ring.Write(bytes.data(), 8191), 8191);
    EXPECT_TRUE(ring.IsFull());
    EXPECT_EQ(ring.Write(bytes.data(), 1), 0);
    EXPECT_EQ(ring.DataSize(), 8191);
}

TEST(CircularBufferTest, ABlockLargerThanTheRingGrowsItAndKeepsEveryByte) {
    TCircularBuffer ring(8192);
    const auto bytes = Counting(10000);
    EXPECT_EQ(ring.Write(bytes.data(), 10000), 10000);
    EXPECT_EQ(ring.Capacity(), 16384);
    std::vector<uint8_t> out(10000);
    EXPECT_EQ(ring.Read(out.data(), 10000), 10000);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(ring.WriteCount(), 10000);
    EXPECT_EQ(ring.ReadCount(), 10000);
}

TEST(CircularBufferTest, ABlockAsLargeAsTheRingGrowsItEvenWithoutAutoGrow) {
    TCircularBuffer ring(8192);
    ring.AutoGrow = false;
    ring.WaitForSpace = false;
    const auto bytes = Counting(8192);
    EXPECT_EQ(ring.Write(bytes.data(), 8192), 8192);
    EXPECT_GT(ring.Capacity(), 8192);
    EXPECT_EQ(ring.DataSize(), 8192);
}

TEST(CircularBufferTest, GrowingARingWhoseDataWrapsKeepsTheBytesInOrder) {
    // The write position after wrapping: a wrapped part that fits the added space, a tail exactly at the
    // start, and (in the larger ring, which grows by a quarter) a wrapped part longer than the added
    // space, part of which has to move down to the start of the storage.
    struct TCase {
        int capacity;
        int wrapped;
    };
    for (const TCase c : {TCase{8192, 100}, TCase{8192, 3000}, TCase{8192, 0}, TCase{65536, 30000}}) {
        TCircularBuffer ring(c.capacity);
        const int head = c.capacity - 2192;
        std::vector<uint8_t> sink(static_cast<size_t>(head));
        const auto filler = Counting(head);
        ASSERT_EQ(ring.Write(filler.data(), head), head);
        ASSERT_EQ(ring.Read(sink.data(), head), head);
        const int first = c.capacity - head + c.wrapped;
        const auto data = Counting(first, 5);
        ASSERT_EQ(ring.Write(data.data(), first), first);
        // The next block needs more than the room left: the ring grows while its data wraps.
        const int more = c.capacity - 1 - first + 500;
        const auto extra = Counting(more, 5 + first);
        ASSERT_EQ(ring.Write(extra.data(), more), more) << c.wrapped;
        const int grown = ring.Capacity();
        ASSERT_GT(grown, c.capacity);
        if (c.capacity == 65536) {
            ASSERT_LT(grown - c.capacity, c.wrapped) << "the wrapped part must not fit the added space";
        }
        std::vector<uint8_t> out(static_cast<size_t>(first + more));
        ASSERT_EQ(ring.Read(out.data(), first + more), first + more);
        EXPECT_EQ(out, Counting(first + more, 5)) << "capacity " << c.capacity << ", wrapped " << c.wrapped;
    }
}

TEST(CircularBufferTest, ReadsReturnWhatIsThereOrTellWhyNot) {
    TCircularBuffer ring(8192);
    const auto bytes = Counting(40);
    ASSERT_EQ(ring.Write(bytes.data(), 40), 40);
    std::vector<uint8_t> out(100);
    EXPECT_EQ(ring.Read(out.data(), 100), 40);

    ring.WaitForData = false;
    EXPECT_EQ(ring.Read(out.data(), 100), 0);

    ring.EndWriting();
    EXPECT_EQ(ring.Read(out.data(), 100), -1);

    ring.Reset();
    ASSERT_EQ(ring.Write(bytes.data(), 40), 40);
    EXPECT_EQ(ring.Discard(30), 30);
    EXPECT_EQ(ring.Discard(30), 10);
    EXPECT_EQ(ring.ReadCount(), 0);  // discarded bytes are not counted as read
}

TEST(CircularBufferTest, AfterTerminateEveryOperationFailsUntilReset) {
    TCircularBuffer ring(8192);
    uint8_t byte = 1;
    ring.Terminate();
    EXPECT_EQ(ring.Read(&byte, 1), -1);
    EXPECT_EQ(ring.Write(&byte, 1), -1);
    EXPECT_EQ(ring.Discard(1), -1);
    ring.Reset();
    EXPECT_EQ(ring.Write(&byte, 1), 1);
    EXPECT_EQ(ring.Read(&byte, 1), 1);
}

TEST(CircularBufferTest, AWriteThatDoesNotFitWaitsForTheReaderWithoutAutoGrow) {
    TCircularBuffer ring(8192);
    ring.AutoGrow = false;
    const auto held = Counting(4000);
    ASSERT_EQ(ring.Write(held.data(), 4000), 4000);

    ring.WaitForSpace = false;
    const auto block = Counting(5000, 4000);
    EXPECT_EQ(ring.Write(block.data(), 5000), 0);
    ring.WaitForSpace = true;

    auto writer = std::async(std::launch::async, [&] { return ring.Write(block.data(), 5000); });
    EXPECT_EQ(writer.wait_for(50ms), std::future_status::timeout);  // still blocked: no room yet
    std::vector<uint8_t> out(4000);
    ASSERT_EQ(ring.Read(out.data(), 4000), 4000);
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(writer.get(), 5000);
    EXPECT_EQ(ring.Capacity(), 8192);
    std::vector<uint8_t> rest(5000);
    EXPECT_EQ(ring.Read(rest.data(), 5000), 5000);
    EXPECT_EQ(rest, block);
}

TEST(CircularBufferTest, TerminateReleasesABlockedReaderAndABlockedWriter) {
    TCircularBuffer ring(8192);
    ring.AutoGrow = false;
    auto reader = std::async(std::launch::async, [&] {
        uint8_t byte = 0;
        return ring.Read(&byte, 1);
    });
    EXPECT_EQ(reader.wait_for(30ms), std::future_status::timeout);
    ring.Terminate();
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), -1);

    ring.Reset();
    const auto bytes = Counting(8000);
    ASSERT_EQ(ring.Write(bytes.data(), 8000), 8000);
    auto writer = std::async(std::launch::async, [&] { return ring.Write(bytes.data(), 1000); });
    EXPECT_EQ(writer.wait_for(30ms), std::future_status::timeout);
    ring.Terminate();
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(writer.get(), -1);
}

TEST(CircularBufferTest, OneProducerAndOneConsumerPassEveryByteInOrderWhileTheRingGrows) {
    TCircularBuffer ring(8192);
    ring.AutoGrowMax = 65536;  // grows, then makes the writer wait
    constexpr int kTotal = 3 * 1024 * 1024;
    const auto source = Counting(kTotal);
    std::thread producer([&] {
        int sent = 0;
        int block = 1;
        while (sent < kTotal) {
            const int n = std::min(block, kTotal - sent);
            if (ring.Write(source.data() + sent, n) != n) {
                break;
            }
            sent += n;
            block = block % 20000 + 997;  // blocks of many sizes, some larger than the first capacity
        }
        ring.EndWriting();
    });
    std::vector<uint8_t> received;
    received.reserve(kTotal);
    std::vector<uint8_t> chunk(3001);
    for (;;) {
        const int n = ring.Read(chunk.data(), static_cast<int>(chunk.size()));
        if (n < 0) {
            break;
        }
        received.insert(received.end(), chunk.begin(), chunk.begin() + n);
    }
    producer.join();
    EXPECT_EQ(received.size(), source.size());
    EXPECT_TRUE(received == source);
    EXPECT_GT(ring.Capacity(), 8192);
    EXPECT_LE(ring.Capacity(), 65536 + 32768);
}

TEST(CircularBufferTest, TheStreamKeepsItsOwnSizeAndPosition) {
    TCircularBufferStream stream(8192);
    const auto bytes = Counting(100);
    EXPECT_EQ(stream.Write(bytes.data(), 100), 100);
    EXPECT_EQ(stream.Position(), 100);
    EXPECT_EQ(stream.GetSize(), 100);
    EXPECT_EQ(stream.Seek(-10, soEnd), 90);
    EXPECT_EQ(stream.Write(bytes.data(), 0), 0);
    EXPECT_EQ(stream.Seek(-200, soCurrent), -110);
    EXPECT_EQ(stream.Write(bytes.data(), 10), 0);  // negative position
    stream.Seek(50, soBeginning);
    stream.SetSize(20);
    EXPECT_EQ(stream.Position(), 20);
    std::vector<uint8_t> out(100);
    EXPECT_EQ(stream.Read(out.data(), 100), 100);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin()));
}

TEST(CircularBufferTest, TheStreamCountsPastTwoGibibytes) {
    TCircularBufferStream stream(8192);
    const auto bytes = Counting(100);
    const int64_t nearLimit = INT32_MAX - 50;
    EXPECT_EQ(stream.Seek(nearLimit, soBeginning), nearLimit);
    EXPECT_EQ(stream.Write(bytes.data(), 100), 100);
    EXPECT_EQ(stream.Position(), nearLimit + 100);
    EXPECT_EQ(stream.GetSize(), nearLimit + 100);
    EXPECT_EQ(stream.Seek(10, soCurrent), nearLimit + 110);
}

}  // namespace
