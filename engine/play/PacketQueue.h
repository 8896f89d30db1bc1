// The packet queues that carry compressed packets from the read thread to the decoders.
//
// Every put carries the queue's serial; putting the flush marker raises it, so a consumer can tell the
// packets of a new run (after a seek or a flush) from those of the old one. The flush marker is a flag
// of its node, not a packet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

struct AVPacket;

// One node of a queue: the packet it owns (none for the flush marker) and the serial it was put with.
struct TMyAVPacketList {
    AVPacket* pkt = nullptr;
    bool flush = false;
    int serial = 0;
};

// A wake-up for one waiter: the notify is made under its mutex, so that a waiter that has just
// found no room and is about to wait cannot miss it.
struct TWakeSignal {
    std::mutex mutex;
    std::condition_variable cond;
    void Notify();
};

struct TPacketQueue {
    TPacketQueue() = default;
    ~TPacketQueue();
    TPacketQueue(const TPacketQueue&) = delete;
    TPacketQueue& operator=(const TPacketQueue&) = delete;

    std::deque<TMyAVPacketList> nodes;  // oldest first; under mutex
    // Written under mutex; read without it by the read thread's back-pressure check and by clocks.
    std::atomic<int> nb_packets{0};
    std::atomic<int> size{0};
    std::atomic<int> abort_request{1};
    std::atomic<int> serial{0};
    std::mutex mutex;
    std::condition_variable cond;
    TWakeSignal* room = nullptr;  // told after each packet taken; set before the queue is used
};

// Empties the queue and leaves it aborted: a new queue refuses packets until it is started.
void packet_queue_init(TPacketQueue* q);
// Clears the abort and puts the flush marker, so the serial rises by one.
void packet_queue_start(TPacketQueue* q);
// Takes over the packet's data (the packet is left empty). 0, or -1 when the queue refuses it (the
// packet's data is then freed).
int packet_queue_put(TPacketQueue* q, AVPacket* pkt);
// Puts the flush marker; -1 when the queue is aborted.
int packet_queue_put_flush(TPacketQueue* q);
// Puts an end-of-stream packet: no data, size 0, the stream's index.
int packet_queue_put_nullpacket(TPacketQueue* q, int stream_index);
// 1 when a packet was taken (moved into pkt; serial and flush receive the node's serial and whether it
// is the flush marker), 0 when the queue is empty and block is 0, -1 when the queue is aborted.
int packet_queue_get(TPacketQueue* q, AVPacket* pkt, int block, int* serial, bool* flush = nullptr);
// Frees every node; the serial and the abort state stay.
void packet_queue_flush(TPacketQueue* q);
// Refuses further puts and wakes every waiting get.
void packet_queue_abort(TPacketQueue* q);
void packet_queue_destroy(TPacketQueue* q);
