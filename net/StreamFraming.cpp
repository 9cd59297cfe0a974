#include "StreamFraming.h"

#include <cstring>
#include <memory>

namespace hNet {

namespace {

constexpr std::uint32_t SizeFieldBytes = 2;
constexpr std::uint32_t MinBodySize = 2;  // the type code

void FinishField(PacketQueue& queue, PacketQueueTask next) {
    queue.currentPacketExtractionOffset = 0;
    queue.currentTask = next;
}

// Bytes the socket took from one send of `length` bytes, or 0 when it took none.
std::uint32_t SendSome(SOCKET handle, const char* data, std::uint32_t length) {
    const auto sent = send(handle, data, static_cast<int>(length), 0);
    return sent > 0 ? static_cast<std::uint32_t>(sent) : 0;
}

}  // namespace

FieldWindow NextReceiveWindow(PacketQueue& incoming, char* receiveBuffer) {
    const std::uint32_t offset = incoming.currentPacketExtractionOffset;
    if (incoming.currentTask == PacketQueueTask::ProcessPacketSize) {
        return {reinterpret_cast<char*>(&incoming.currentPacketSize) + offset,
                SizeFieldBytes - offset};
    }
    return {receiveBuffer + offset, incoming.currentPacketSize - offset};
}

ReceiveResult CommitReceived(PacketQueue& incoming, const char* receiveBuffer,
                             std::uint32_t count) {
    incoming.currentPacketExtractionOffset += count;
    if (incoming.currentTask == PacketQueueTask::ProcessPacketSize) {
        if (incoming.currentPacketExtractionOffset < SizeFieldBytes) {
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
    auto packet = std::make_shared<Packet>(PacketType::Invalid);
    packet->buffer.assign(receiveBuffer, receiveBuffer + incoming.currentPacketSize);
    incoming.Append(std::move(packet));
    incoming.currentPacketSize = 0;
    FinishField(incoming, PacketQueueTask::ProcessPacketSize);
    return ReceiveResult::Progress;
}

ReceiveResult ReceiveField(SOCKET handle, PacketQueue& incoming, char* receiveBuffer) {
    const FieldWindow window = NextReceiveWindow(incoming, receiveBuffer);
    const auto received = recv(handle, window.data, static_cast<int>(window.length), 0);
    if (received == 0) {
        return ReceiveResult::PeerClosed;
    }
    if (received == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? ReceiveResult::WouldBlock
                                                   : ReceiveResult::Failed;
    }
    return CommitReceived(incoming, receiveBuffer, static_cast<std::uint32_t>(received));
}

bool SendQueued(SOCKET handle, PacketQueue& outgoing) {
    while (outgoing.HasPending()) {
        const auto packet = outgoing.Front();
        std::uint32_t& offset = outgoing.currentPacketExtractionOffset;
        if (outgoing.currentTask == PacketQueueTask::ProcessPacketSize) {
            outgoing.currentPacketSize = static_cast<std::uint16_t>(packet->buffer.size());
            const std::uint16_t wireSize = htons(outgoing.currentPacketSize);
            const auto* prefix = reinterpret_cast<const char*>(&wireSize);
            offset += SendSome(handle, prefix + offset, SizeFieldBytes - offset);
            if (offset < SizeFieldBytes) {
                return false;
            }
            FinishField(outgoing, PacketQueueTask::ProcessPacketContents);
        }
        offset +=
            SendSome(handle, packet->buffer.data() + offset, outgoing.currentPacketSize - offset);
        if (offset < outgoing.currentPacketSize) {
            return false;
        }
        FinishField(outgoing, PacketQueueTask::ProcessPacketSize);
        outgoing.Pop();
    }
    return true;
}

}  // namespace hNet
