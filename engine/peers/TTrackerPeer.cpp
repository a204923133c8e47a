#include "engine/peers/TTrackerPeer.h"

#include <cstdint>

#include "engine/core/base/EngineClock.h"
#include "engine/core/base/ThreadId.h"
#include "engine/peers/ProxySettings.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {

bool TTrackerPeer::IsUdpTracker() const noexcept {
    const TPeerIdDetails* details = peerId_ != nullptr ? peerId_->DetailsIfAny() : nullptr;
    return details != nullptr && details->udpTracker;
}

bool TTrackerPeer::IsConnected() const {
    return (connState_ != kConnNone || transferState_ != kTransferReset) && connection_ != nullptr;
}

bool TTrackerPeer::Connect(TPeerId* identity) {
    if (!TPeerObject::Connect(identity)) {
        return false;
    }
    firstTry_ = lastActivity_ = EngineSeconds();
    const std::uint32_t local = tracker_->BindAddress();
    if (IsUdpTracker()) {
        if (!udp_.Open(local, identity->ip, identity->port)) {
            NoteFailure("no connection to " + Where());
            return false;
        }
        return SendUdpConnect();
    }
    // Trackers are always reached directly, never through a proxy.
    const TProxySettings direct{};
    if (!connection_->Connect(identity->ip, identity->port, false, &direct, local)) {
        return false;
    }
    connState_ = kConnEstablished;
    transferState_ = kTransferActive;
    return true;
}

bool TTrackerPeer::SendUdpConnect() {
    connectTransaction_ = EngineSeconds();
    connectRequest_ = BuildUdpConnect(connectTransaction_);
    lastConnectRequest_ = lastActivity_ = EngineSeconds();
    if (udp_.Send(connectRequest_.data(), connectRequest_.size()) < 0) {
        NoteFailure("no connection to " + Where());
        return false;
    }
    transferState_ = kTransferActive;
    return true;
}

bool TTrackerPeer::PlanRequests() {
    const std::uint32_t now = EngineSeconds();
    lastActivity_ = now;
    if ((connState_ == kConnNone && transferState_ == kTransferReset) ||
        transferState_ == kTransferFinished) {
        return false;
    }
    if (now - firstTry_ >= kGiveUpSeconds) {
        transferState_ = kTransferTimedOut;
        return false;
    }
    if (connState_ != kConnEstablished) {
        // A UDP connect request that went unanswered is sent again.
        if (IsUdpTracker() && now - lastConnectRequest_ >= kResendSeconds) {
            return SendUdpConnect();
        }
        return true;
    }
    if (lastAnnounce_ != 0 && now - lastAnnounce_ < kResendSeconds) {
        return true;
    }
    if (!SendAnnounce()) {
        return false;
    }
    lastAnnounce_ = now;
    return true;
}

bool TTrackerPeer::SendAnnounce() {
    TrackerAnnounceInfo info;
    if (!tracker_->AnnounceInfo(info)) {
        return true;  // no metainfo yet: nothing to announce
    }
    return IsUdpTracker() ? SendUdpAnnounce(info) : SendHttpAnnounce(info);
}

std::string TTrackerPeer::LocalAddressText() const {
    std::uint32_t ip = tracker_->BindAddress();
    if (ip == 0 && connection_ != nullptr) {
        ip = connection_->LocalIp();
    }
    return FormatDotted(ip);
}

bool TTrackerPeer::SendHttpAnnounce(const TrackerAnnounceInfo& info) {
    if (connection_->DataSize() > 0) {
        return true;  // the answer is arriving: no second request on this connection
    }
    if (requestPath_.empty()) {
        HttpAnnounceFields fields;
        fields.infoHashUrl = PercentEncodeBytes(info.infoHash.data(), info.infoHash.size());
        fields.peerId = BuildPeerId(info.announceUrl, CurrentThreadId(),
                                    reinterpret_cast<std::uintptr_t>(task_), EngineSeconds(),
                                    LocalAddressText());
        fields.port = info.listenPort;
        fields.uploaded = info.uploaded;
        fields.downloaded = info.downloaded;
        fields.left =
            info.totalSize > info.bytesCompleted ? info.totalSize - info.bytesCompleted : 0;
        fields.event = event_;
        requestPath_ = BuildAnnouncePath(peerId_->Details().urlPath, fields);
    }
    const std::string request = BuildAnnounceRequest(requestPath_, peerId_->host, peerId_->port);
    return connection_->Queue(reinterpret_cast<const std::uint8_t*>(request.data()),
                              static_cast<std::int32_t>(request.size()));
}

bool TTrackerPeer::SendUdpAnnounce(const TrackerAnnounceInfo& info) {
    UdpAnnounceFields fields;
    fields.connectionId = connectionId_;
    announceTransaction_ = EngineSeconds() + 1;
    fields.transactionId = announceTransaction_;
    fields.infoHash = info.infoHash;
    fields.peerId = info.ownPeerId;
    fields.downloaded = info.downloaded;
    fields.left = info.totalSize > info.bytesCompleted ? info.totalSize - info.bytesCompleted : 0;
    fields.uploaded = info.uploaded;
    fields.event = event_;
    fields.ip = info.announcedAddress;
    fields.port = info.listenPort;
    announceRequest_ = BuildUdpAnnounce(fields);
    if (udp_.Send(announceRequest_.data(), announceRequest_.size()) < 0) {
        NoteFailure(Where() + " refused the announce");
        return false;
    }
    return true;
}

bool TTrackerPeer::OnReceive() {
    lastActivity_ = EngineSeconds();
    if (connState_ == kConnNone && transferState_ == kTransferFinished) {
        return false;
    }
    return IsUdpTracker() ? ReceiveUdp() : ReceiveHttp();
}

bool TTrackerPeer::ReceiveHttp() {
    if (connection_ == nullptr) {
        return false;
    }
    const std::int32_t got = connection_->Receive(kHttpReadSize);
    const std::int32_t size = connection_->DataSize();
    if (size > 0 && connState_ == kConnEstablished) {
        const HttpReplyParts parts =
            SplitHttpReply(reinterpret_cast<const char*>(connection_->Data()), size, got < 0);
        if (parts.consumed < 0) {
            NoteFailure(Where() + " sent an unusable answer");
            return false;
        }
        if (parts.consumed > 0) {
            const AnnounceReply reply = ReadAnnounceReply(parts.body);
            // A refusal or an answer that is not bencode leaves the task's figures alone.
            if (reply.bencoded && reply.failureReason.empty()) {
                TakeAnswer(reply.interval, reply.seeds, reply.completed, reply.peers);
            } else {
                TakeAnswer(0, -1, -1, reply.peers);
            }
            connection_->Consume(parts.consumed);
            transferState_ = kTransferFinished;
            return true;
        }
    }
    return got >= 0;
}

bool TTrackerPeer::ReceiveUdp() {
    if (!udp_.IsOpen()) {
        return false;
    }
    std::uint8_t datagram[kUdpReadSize];
    const std::int32_t got = udp_.Receive(datagram, sizeof datagram);
    if (got < 0) {
        NoteFailure("no answer from " + Where() + " (port closed)");
        udp_.Close();
        return false;
    }
    if (got == 0) {
        return true;
    }
    response_.assign(reinterpret_cast<const char*>(datagram), static_cast<std::size_t>(got));
    UdpReplyExpectation expected;
    expected.awaitingConnect = connState_ != kConnEstablished && transferState_ == kTransferActive;
    expected.connectTransaction = connectTransaction_;
    expected.connected = connState_ == kConnEstablished && lastAnnounce_ != 0;
    expected.announceTransaction = announceTransaction_;
    const UdpReply reply = ReadUdpReply(datagram, static_cast<std::size_t>(got), expected);
    switch (reply.kind) {
        case UdpReplyKind::kConnected:
            connectionId_ = reply.connectionId;
            connState_ = kConnEstablished;
            break;
        case UdpReplyKind::kAnnounced:
            TakeAnswer(reply.interval, reply.seeds, -1, reply.peers);
            transferState_ = kTransferFinished;
            break;
        case UdpReplyKind::kFailed:
            // The tracker refused (an unknown torrent, say): the announce is over.
            transferState_ = kTransferFinished;
            break;
        case UdpReplyKind::kIgnored:
            break;
    }
    return true;
}

void TTrackerPeer::TakeAnswer(std::int32_t interval, std::int64_t seeds, std::int64_t completed,
                              const std::vector<LearnedPeer>& peers) {
    if (interval > 0) {
        tracker_->StoreAnnounceReply(interval, seeds, completed);
    }
    for (const LearnedPeer& peer : peers) {
        tracker_->AddLearnedPeer(peer);
    }
}

bool TTrackerPeer::OnSend() {
    lastActivity_ = EngineSeconds();
    if (!IsUdpTracker() && connection_ != nullptr && connection_->PendingSend() > 0) {
        (void)connection_->Flush();
    }
    return true;
}

void TTrackerPeer::Reset() {
    udp_.Close();
    response_.clear();
    lastActivity_ = 0;
    lastAnnounce_ = 0;
    lastConnectRequest_ = 0;
    firstTry_ = 0;
    requestPath_.clear();
    connectRequest_ = {};
    announceRequest_ = {};
    event_ = kAnnounceRegular;
    connectionId_ = {};
    connectTransaction_ = 0;
    announceTransaction_ = 0;
    TPeerObject::Reset();
}

}  // namespace koruvan::engine
