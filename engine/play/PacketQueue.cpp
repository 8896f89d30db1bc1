#include "engine/play/PacketQueue.h"

#include <chrono>

#include "engine/load/FFAPI.h"

namespace {

// What a node costs in memory: the payload, the node and its packet record.
int NodeSize(const TMyAVPacketList& node) {
    const int payload = node.pkt ? node.pkt->size : 0;
    return payload + static_cast<int>(sizeof(TMyAVPacketList) + (node.pkt ? sizeof(AVPacket) : 0));
}

void FreeNode(TMyAVPacketList& node) {
    if (node.pkt) {
        ff::av_packet_free(&node.pkt);
    }
}

// The caller holds q->mutex. Takes ownership of node.pkt whatever the result.
int packet_queue_put_private(TPacketQueue* q, TMyAVPacketList node) {
    if (q->abort_request) {
        FreeNode(node);
        return -1;
    }
    if (node.flush) {
        q->serial++;
    }
    node.serial = q->serial;
    q->size += NodeSize(node);
    q->nb_packets++;
    q->nodes.push_back(node);
    q->cond.notify_all();
    return 0;
}

}  // namespace

void TWakeSignal::Notify() {
    { std::lock_guard lock(mutex); }
    cond.notify_all();
}

TPacketQueue::~TPacketQueue() {
    packet_queue_flush(this);
}

void packet_queue_init(TPacketQueue* q) {
    packet_queue_flush(q);
    std::lock_guard lock(q->mutex);
    q->abort_request = 1;
    q->serial = 0;
}

void packet_queue_start(TPacketQueue* q) {
    std::lock_guard lock(q->mutex);
    q->abort_request = 0;
    TMyAVPacketList marker;
    marker.flush = true;
    packet_queue_put_private(q, marker);
}

int packet_queue_put(TPacketQueue* q, AVPacket* pkt) {
    TMyAVPacketList node;
    node.pkt = ff::av_packet_alloc();
    // A packet that does not own its data gets a copy, so the node never points into the demuxer.
    if (!node.pkt || ff::av_packet_ref(node.pkt, pkt) < 0) {
        FreeNode(node);
        ff::av_packet_unref(pkt);
        return -1;
    }
    ff::av_packet_unref(pkt);
    std::lock_guard lock(q->mutex);
    return packet_queue_put_private(q, node);
}

int packet_queue_put_flush(TPacketQueue* q) {
    TMyAVPacketList marker;
    marker.flush = true;
    std::lock_guard lock(q->mutex);
    return packet_queue_put_private(q, marker);
}

int packet_queue_put_nullpacket(TPacketQueue* q, int stream_index) {
    TMyAVPacketList node;
    node.pkt = ff::av_packet_alloc();
    if (!node.pkt) {
        return -1;
    }
    node.pkt->data = nullptr;
    node.pkt->size = 0;
    node.pkt->stream_index = stream_index;
    std::lock_guard lock(q->mutex);
    return packet_queue_put_private(q, node);
}

int packet_queue_get(TPacketQueue* q, AVPacket* pkt, int block, int* serial, bool* flush) {
    std::unique_lock lock(q->mutex);
    for (;;) {
        if (q->abort_request) {
            return -1;
        }
        if (!q->nodes.empty()) {
            TMyAVPacketList node = q->nodes.front();
            q->nodes.pop_front();
            q->nb_packets--;
            q->size -= NodeSize(node);
            ff::av_packet_unref(pkt);
            if (node.pkt) {
                ff::av_packet_move_ref(pkt, node.pkt);
                FreeNode(node);
            }
            if (serial) {
                *serial = node.serial;
            }
            if (flush) {
                *flush = node.flush;
            }
            lock.unlock();
            if (q->room) {
                q->room->Notify();
            }
            return 1;
        }
        if (!block) {
            return 0;
        }
        // Puts and aborts signal the condition; the slice only bounds a wait whose wake-up was lost.
        q->cond.wait_for(lock, std::chrono::milliseconds(100));
    }
}

void packet_queue_flush(TPacketQueue* q) {
    std::lock_guard lock(q->mutex);
    for (TMyAVPacketList& node : q->nodes) {
        FreeNode(node);
    }
    q->nodes.clear();
    q->nb_packets = 0;
    q->size = 0;
}

void packet_queue_abort(TPacketQueue* q) {
    {
        std::lock_guard lock(q->mutex);
        q->abort_request = 1;
        q->cond.notify_all();
    }
    // An aborted queue no longer holds the reader back.
    if (q->room) {
        q->room->Notify();
    }
}

void packet_queue_destroy(TPacketQueue* q) {
    packet_queue_flush(q);
}
