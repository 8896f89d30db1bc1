#include "engine/play/PacketQueue.h"

#include <gtest/gtest.h>

#include <thread>

#include "engine/load/FFAPI.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

class PacketQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        pkt = ff::av_packet_alloc();
    }
    void TearDown() override { ff::av_packet_free(&pkt); }

    // A packet of `size` bytes that owns its data.
    AVPacket* Packet(int size) {
        AVPacket* p = ff::av_packet_alloc();
        EXPECT_EQ(ff::av_new_packet(p, size), 0);
        return p;
    }

    TPacketQueue q;
    AVPacket* pkt = nullptr;
};

TEST_F(PacketQueueTest, RefusesPacketsUntilStartedAndFreesThem) {
    packet_queue_init(&q);
    AVPacket* p = Packet(100);
    EXPECT_EQ(packet_queue_put(&q, p), -1);
    EXPECT_EQ(p->size, 0);  // its data was released
    EXPECT_EQ(packet_queue_put_flush(&q), -1);
    EXPECT_EQ(q.nb_packets, 0);
    ff::av_packet_free(&p);
}

TEST_F(PacketQueueTest, StartPutsTheFlushMarkerAndRaisesTheSerial) {
    packet_queue_init(&q);
    const int before = q.serial;
    packet_queue_start(&q);
    EXPECT_EQ(q.serial, before + 1);
    AVPacket* p = Packet(10);
    ASSERT_EQ(packet_queue_put(&q, p), 0);
    ff::av_packet_free(&p);
    ASSERT_EQ(packet_queue_put_nullpacket(&q, 3), 0);
    EXPECT_EQ(q.nb_packets, 3);

    int serial = -1;
    bool flush = false;
    ASSERT_EQ(packet_queue_get(&q, pkt, 0, &serial, &flush), 1);
    EXPECT_TRUE(flush);
    EXPECT_EQ(serial, before + 1);
    ASSERT_EQ(packet_queue_get(&q, pkt, 0, &serial, &flush), 1);
    EXPECT_FALSE(flush);
    EXPECT_EQ(pkt->size, 10);
    ASSERT_EQ(packet_queue_get(&q, pkt, 0, &serial, &flush), 1);
    EXPECT_EQ(pkt->data, nullptr);
    EXPECT_EQ(pkt->size, 0);
    EXPECT_EQ(pkt->stream_index, 3);
    EXPECT_EQ(q.size, 0);
}

TEST_F(PacketQueueTest, NonBlockingGetOnEmptyRunningQueueReturnsZero) {
    packet_queue_init(&q);
    packet_queue_start(&q);
    ASSERT_EQ(packet_queue_get(&q, pkt, 0, nullptr), 1);  // the marker
    EXPECT_EQ(packet_queue_get(&q, pkt, 0, nullptr), 0);
}

TEST_F(PacketQueueTest, GetOnAbortedQueueFailsWhilePacketsRemain) {
    packet_queue_init(&q);
    packet_queue_start(&q);
    AVPacket* p = Packet(10);
    packet_queue_put(&q, p);
    ff::av_packet_free(&p);
    packet_queue_abort(&q);
    EXPECT_EQ(packet_queue_get(&q, pkt, 1, nullptr), -1);
    EXPECT_EQ(q.nb_packets, 2);
}

TEST_F(PacketQueueTest, FlushEmptiesButKeepsTheSerial) {
    packet_queue_init(&q);
    packet_queue_start(&q);
    for (int i = 0; i < 3; ++i) {
        AVPacket* p = Packet(1000);
        packet_queue_put(&q, p);
        ff::av_packet_free(&p);
    }
    EXPECT_GT(q.size, 3000);
    const int serial = q.serial;
    packet_queue_flush(&q);
    EXPECT_EQ(q.nb_packets, 0);
    EXPECT_EQ(q.size, 0);
    EXPECT_EQ(q.serial, serial);
    packet_queue_start(&q);
    EXPECT_EQ(q.serial, serial + 1);
}

TEST_F(PacketQueueTest, AbortWakesABlockedGet) {
    packet_queue_init(&q);
    packet_queue_start(&q);
    ASSERT_EQ(packet_queue_get(&q, pkt, 0, nullptr), 1);
    int result = 0;
    std::thread consumer([&] { result = packet_queue_get(&q, pkt, 1, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    packet_queue_abort(&q);
    consumer.join();
    EXPECT_EQ(result, -1);
}

TEST_F(PacketQueueTest, BlockedGetReceivesAPacketPutByAnotherThread) {
    packet_queue_init(&q);
    packet_queue_start(&q);
    ASSERT_EQ(packet_queue_get(&q, pkt, 0, nullptr), 1);
    int result = 0;
    int size = 0;
    std::thread consumer([&] {
        result = packet_queue_get(&q, pkt, 1, nullptr);
        size = pkt->size;
    });
    AVPacket* p = Packet(42);
    packet_queue_put(&q, p);
    ff::av_packet_free(&p);
    consumer.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(size, 42);
}

}  // namespace
