#include "StreamFraming.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace hNet {

namespace {

constexpr std::uint32_t MinBodySize = 2;  // the type code
// The prefix is received straight into the queue's size field.
static_assert(SizePrefixBytes == sizeof(PacketQueue::currentPacketSize));

void FinishField(PacketQueue& queue, PacketQueueTask next) {
    queue.currentPacketExtractionOffset = 0;
    queue.currentTask = next;
}

// The size prefix announces the body length cut to 16 bits; bodies never exceed
// MaxPacketSize.
std::uint16_t WireBodySize(const Packet& packet) {
    return static_cast<std::uint16_t>(packet.buffer.size());
}

// What goes in front of the body: the size prefix, which is made in `prefix`, or for a
// browser the head the packet keeps.
std::string_view HeadOf(const Packet& packet, Wire wire, std::uint16_t& prefix) {
    if (wire == Wire::WebSocket) {
        return packet.WebSocketHead();
    }
    prefix = htons(WireBodySize(packet));
    return {reinterpret_cast<const char*>(&prefix), SizePrefixBytes};
}

void AddSlice(SendGathering& gathering, const char* data, std::size_t size) {
    gathering.slices[gathering.count++] = SliceOf(data, size);
    gathering.bytes += size;
}

}  // namespace

FieldWindow NextReceiveWindow(PacketQueue& incoming, char* receiveBuffer) {
    const std::uint32_t offset = incoming.currentPacketExtractionOffset;
    if (incoming.currentTask == PacketQueueTask::ProcessPacketSize) {
        return {reinterpret_cast<char*>(&incoming.currentPacketSize) + offset,
                SizePrefixBytes - offset};
    }
    return {receiveBuffer + offset, incoming.currentPacketSize - offset};
}

ReceiveResult CommitReceived(PacketQueue& incoming, const char* receiveBuffer,
                             std::uint32_t count) {
    incoming.currentPacketExtractionOffset += count;
    if (incoming.currentTask == PacketQueueTask::ProcessPacketSize) {
        if (incoming.currentPacketExtractionOffset < SizePrefixBytes) {
            return ReceiveResult::Progress;
        }
        incoming.currentPacketSize = ntohs(incoming.currentPacketSize);
        if (incoming.currentPacketSize > MaxPacketSize) {
            return ReceiveResult::TooLarge;
        }
        if (incoming.currentPacketSize < MinBodySize) {
            return ReceiveResult::TooSmall;
        }
        FinishField(incoming, PacketQueueTask::ProcessPacketContents);
        return ReceiveResult::Progress;
    }
    if (incoming.currentPacketExtractionOffset < incoming.currentPacketSize) {
        return ReceiveResult::Progress;
    }
    incoming.Append(std::make_shared<Packet>(receiveBuffer, incoming.currentPacketSize));
    incoming.currentPacketSize = 0;
    FinishField(incoming, PacketQueueTask::ProcessPacketSize);
    return ReceiveResult::Progress;
}

ReceiveResult TakeReceived(PacketQueue& incoming, char* receiveBuffer, const char* data,
                           std::size_t size, std::uint32_t& taken) {
    const FieldWindow window = NextReceiveWindow(incoming, receiveBuffer);
    taken = static_cast<std::uint32_t>(std::min<std::size_t>(window.length, size));
    std::memcpy(window.data, data, taken);
    return CommitReceived(incoming, receiveBuffer, taken);
}

ReceiveResult ReceiveField(SOCKET handle, PacketQueue& incoming, char* receiveBuffer,
                           std::uint32_t& received) {
    received = 0;
    const FieldWindow window = NextReceiveWindow(incoming, receiveBuffer);
    const auto result = recv(handle, window.data, static_cast<int>(window.length), 0);
    if (result == 0) {
        return ReceiveResult::PeerClosed;
    }
    if (result == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? ReceiveResult::WouldBlock
                                                   : ReceiveResult::Failed;
    }
    received = static_cast<std::uint32_t>(result);
    return CommitReceived(incoming, receiveBuffer, received);
}

void GatherQueued(const PacketQueue& outgoing, SendGathering& gathering, Wire wire) {
    gathering.count = 0;
    gathering.bytes = 0;
    const PacketRing& packets = outgoing.Packets();
    std::uint32_t offset = outgoing.currentPacketExtractionOffset;
    bool headSent = outgoing.currentTask == PacketQueueTask::ProcessPacketContents;
    for (std::size_t i = 0;
         i < packets.size() && gathering.count + 2 <= MaxIoSlices && gathering.bytes < GatherBytes;
         ++i) {
        const Packet& packet = *packets[i];
        const std::uint16_t bodySize = headSent ? outgoing.currentPacketSize : WireBodySize(packet);
        if (!headSent) {
            const std::string_view head = HeadOf(packet, wire, gathering.prefixes[i]);
            AddSlice(gathering, head.data() + offset, head.size() - offset);
            offset = 0;
        }
        AddSlice(gathering, packet.buffer.data() + offset, bodySize - offset);
        offset = 0;
        headSent = false;
    }
}

void CommitSent(PacketQueue& outgoing, std::size_t count, Wire wire) {
    std::uint32_t& offset = outgoing.currentPacketExtractionOffset;
    while (outgoing.HasPending()) {
        if (outgoing.currentTask == PacketQueueTask::ProcessPacketSize) {
            const Packet& front = *outgoing.Packets().front();
            outgoing.currentPacketSize = WireBodySize(front);
            std::uint16_t prefix = 0;
            const auto missing =
                static_cast<std::uint32_t>(HeadOf(front, wire, prefix).size() - offset);
            if (count < missing) {
                offset += static_cast<std::uint32_t>(count);
                return;
            }
            count -= missing;
            FinishField(outgoing, PacketQueueTask::ProcessPacketContents);
        }
        const std::uint32_t missing = outgoing.currentPacketSize - offset;
        if (count < missing) {
            offset += static_cast<std::uint32_t>(count);
            return;
        }
        count -= missing;
        FinishField(outgoing, PacketQueueTask::ProcessPacketSize);
        outgoing.Pop();
    }
}

bool SendQueued(SOCKET handle, PacketQueue& outgoing, Wire wire) {
    SendGathering gathering;
    while (outgoing.HasPending()) {
        GatherQueued(outgoing, gathering, wire);
        const long sent = SendGather(handle, gathering.slices.data(), gathering.count);
        const std::size_t taken = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        CommitSent(outgoing, taken, wire);
        // A socket that took less than it was offered is full; trying again now would
        // only cost a call that takes nothing.
        if (taken < gathering.bytes) {
            return false;
        }
    }
    return true;
}

}  // namespace hNet
