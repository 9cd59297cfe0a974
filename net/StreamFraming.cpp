#include "StreamFraming.h"

#include <cstring>
#include <memory>

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

void AddSlice(SendGathering& gathering, const char* data, std::size_t size) {
    IoSlice& slice = gathering.slices[gathering.count++];
    slice.data = data;
    slice.size = static_cast<decltype(slice.size)>(size);
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

void GatherQueued(const PacketQueue& outgoing, SendGathering& gathering) {
    gathering.count = 0;
    gathering.bytes = 0;
    const PacketRing& packets = outgoing.Packets();
    std::uint32_t offset = outgoing.currentPacketExtractionOffset;
    bool prefixSent = outgoing.currentTask == PacketQueueTask::ProcessPacketContents;
    for (std::size_t i = 0;
         i < packets.size() && gathering.count + 2 <= MaxIoSlices && gathering.bytes < GatherBytes;
         ++i) {
        const Packet& packet = *packets[i];
        const std::uint16_t bodySize =
            prefixSent ? outgoing.currentPacketSize : WireBodySize(packet);
        if (!prefixSent) {
            gathering.prefixes[i] = htons(bodySize);
            const auto* prefix = reinterpret_cast<const char*>(&gathering.prefixes[i]);
            AddSlice(gathering, prefix + offset, SizePrefixBytes - offset);
            offset = 0;
        }
        AddSlice(gathering, packet.buffer.data() + offset, bodySize - offset);
        offset = 0;
        prefixSent = false;
    }
}

void CommitSent(PacketQueue& outgoing, std::size_t count) {
    std::uint32_t& offset = outgoing.currentPacketExtractionOffset;
    while (outgoing.HasPending()) {
        if (outgoing.currentTask == PacketQueueTask::ProcessPacketSize) {
            outgoing.currentPacketSize = WireBodySize(*outgoing.Packets().front());
            const std::uint32_t missing = SizePrefixBytes - offset;
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

bool SendQueued(SOCKET handle, PacketQueue& outgoing) {
    SendGathering gathering;
    while (outgoing.HasPending()) {
        GatherQueued(outgoing, gathering);
        const long sent = SendGather(handle, gathering.slices.data(), gathering.count);
        const std::size_t taken = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        CommitSent(outgoing, taken);
        // A socket that took less than it was offered is full; trying again now would
        // only cost a call that takes nothing.
        if (taken < gathering.bytes) {
            return false;
        }
    }
    return true;
}

}  // namespace hNet
