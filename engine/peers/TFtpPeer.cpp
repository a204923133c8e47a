#include "engine/peers/TFtpPeer.h"

#include <algorithm>
#include <charconv>

#include "engine/peers/ProxySettings.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kTimeoutBackOff = 15;
constexpr std::int32_t kServerErrorBackOff = 60;
constexpr std::int32_t kSizeMismatchBackOff = 60;
constexpr std::int32_t kMinMaxConnections = 2;
constexpr std::size_t kMemoryGrowth = 4096;
// What must be waiting on the data socket before a waiting task wakes for it.
constexpr std::int32_t kWakeBytes = 64 * 1024;
// Reply bytes read from the control connection per pass.
constexpr std::int32_t kReplyReadSize = 4096;

// The directory of a URL path: up to its last "/" ("/" when that is the first character).
std::string Directory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string WithReply(const FtpReply& reply) {
    return std::to_string(reply.code) + (reply.text.empty() ? "" : " " + reply.text);
}

}  // namespace

TFtpPeer::TFtpPeer(PeerTask& task)
    : TPeerObject(task, kKindFtp), data_(std::make_unique<TPeerConnection>()) {}

bool TFtpPeer::InMemorySource() const {
    return peerId_ != nullptr && peerId_->DetailsIfAny() != nullptr &&
           peerId_->DetailsIfAny()->metainfoSource;
}

std::int32_t TFtpPeer::ReadSize(std::int32_t budget) const {
    std::int32_t size = std::min(budget, kReadPerPass);
    // Read into the room the buffer already has rather than reallocating it for a few bytes
    // left over from the last pass.
    const std::int32_t room = data_->ReceiveCapacity() - data_->DataSize() - 1;
    if (room >= size / 2) {
        size = std::min(size, room);
    }
    return std::max(size, 1);
}

bool TFtpPeer::Connect(TPeerId* identity) {
    if (!TPeerObject::Connect(identity)) {
        return false;
    }
    const TPeerIdDetails& details = identity->Details();
    // The login, the directory and the file name become command lines: a line break in any
    // of them would let the URL send commands of its own.
    if (details.fileName.empty() || !IsFtpCommandSafe(details.user) ||
        !IsFtpCommandSafe(details.password) || !IsFtpCommandSafe(details.urlPath) ||
        !IsFtpCommandSafe(details.fileName)) {
        NoteFailure("unusable FTP source " + Where() + " (no file name, or a line break in it)");
        return false;
    }
    if (InMemorySource() && identity->torrentSource) {
        task_->SetPhase(2);
    }
    const TProxySettings direct{};
    if (!connection_->Connect(identity->ip, identity->port, false, &direct)) {
        return false;
    }
    connState_ = kConnPending;
    record_.incoming = false;
    step_ = kStepGreeting;
    phase_ = kPhaseAwait;
    return IsConnected();
}

// ---- the command dialogue ----

std::string TFtpPeer::StepCommand() const {
    const TPeerIdDetails& details = *peerId_->DetailsIfAny();
    switch (step_) {
        case kStepUser:
            return "user " + details.user + "\r\n";
        case kStepPass:
            return "pass " + details.password + "\r\n";
        case kStepCwd:
            return "cwd " + Directory(details.urlPath) + "\r\n";
        case kStepSize:
            return "size " + details.fileName + "\r\n";
        case kStepType:
            return "type i\r\n";
        case kStepPasv:
            return "pasv\r\n";
        default:
            return {};
    }
}

bool TFtpPeer::SendCommand(const std::string& line) {
    if (line.empty() ||
        !connection_->Queue(reinterpret_cast<const std::uint8_t*>(line.data()),
                            static_cast<std::int32_t>(line.size())) ||
        connection_->Flush() < 0) {
        return false;
    }
    phase_ = kPhaseDrain;
    return true;
}

bool TFtpPeer::OnSend() {
    if (phase_ != kPhaseDrain) {
        return true;
    }
    if (connection_->PendingSend() > 0 && connection_->Flush() < 0) {
        return false;
    }
    if (connection_->PendingSend() == 0) {
        phase_ = kPhaseAwait;
    }
    return true;
}

std::int32_t TFtpPeer::ReadReply() {
    const std::int32_t received = connection_->Receive(kReplyReadSize);
    const std::int32_t size = connection_->DataSize();
    if (size == 0) {
        return received < 0 ? -1 : 0;
    }
    const std::string_view data(reinterpret_cast<const char*>(connection_->Data()),
                                static_cast<std::size_t>(size));
    const std::int32_t read = ReadFtpReply(data, reply_);
    if (read == kFtpReplyIncomplete) {
        return received < 0 ? -1 : 0;  // the server closed in the middle of a reply
    }
    if (read == kFtpReplyMalformed) {
        NoteFailure("malformed FTP reply from " + Where());
        return -1;
    }
    // Only this reply is consumed: one that followed it at once waits for its own turn.
    connection_->Consume(static_cast<std::int32_t>(reply_.length), true);
    if (reply_.code >= 400 && reply_.code < 500) {
        if (peerId_->maxConnections > kMinMaxConnections) {
            --peerId_->maxConnections;
        }
    } else if (reply_.code >= 500 && reply_.code < 600) {
        task_->BackOff(peerId_, kServerErrorBackOff);
    }
    record_.lastActivity = task_->PeerClock();
    return 1;
}

bool TFtpPeer::WrongReply() {
    NoteFailure("FTP " + WithReply(reply_) + " from " + Where());
    return false;
}

bool TFtpPeer::OnReply() {
    const std::int32_t code = reply_.code;
    switch (step_) {
        case kStepGreeting:
            if (code != 220) {
                return WrongReply();
            }
            connState_ = kConnEstablished;
            break;
        case kStepUser:
            if (code == 230) {
                // Logged in without a password (servers that let anonymous users in at
                // USER): no PASS, on to the transfer.
                step_ = kStepCwd;
                phase_ = kPhaseSend;
                return true;
            }
            if (code != 331) {
                return WrongReply();
            }
            break;
        case kStepPass:
            if (code != 230 && code != 332) {
                return WrongReply();
            }
            break;
        case kStepCwd:
            if (code != 250) {
                return WrongReply();
            }
            break;
        case kStepSize:
            return OnSize();
        case kStepType:
            if (code != 200) {
                return WrongReply();
            }
            break;
        case kStepPasv:
            return OnPassive();
        case kStepRest:
            return OnRestart();
        case kStepRetr:
            if (code != 125 && code != 150) {
                return WrongReply();
            }
            step_ = kStepData;
            phase_ = kPhaseAwait;
            return true;
        case kStepTransferEnd:
            if (code != 426 && code != 226 && code != 250) {
                return WrongReply();
            }
            step_ = kStepPasv;
            phase_ = kPhaseSend;
            return true;
        default:
            return false;
    }
    // The login steps follow one another: greeting, user, pass, cwd (size and type below).
    ++step_;
    phase_ = kPhaseSend;
    return true;
}

bool TFtpPeer::OnSize() {
    std::uint64_t size = 0;
    const char* begin = reply_.text.data();
    const char* end = begin + reply_.text.size();
    const auto [last, error] = std::from_chars(begin, end, size);
    if (reply_.code != 213 || error != std::errc() || size == 0) {
        return WrongReply();
    }
    (void)last;
    TPeerIdDetails& details = peerId_->Details();
    details.remoteSize = size;
    if (!InMemorySource() && task_->TotalSize() == 0) {
        // A download without metainfo takes its layout from the first size a source reports.
        task_->LearnTotalSize(size, details.fileName);
    }
    step_ = kStepType;
    phase_ = kPhaseSend;
    return true;
}

bool TFtpPeer::OnPassive() {
    std::string host;
    std::uint16_t port = 0;
    if (reply_.code != 227 || !ParseFtpPassive(reply_.text, host, port)) {
        return WrongReply();
    }
    std::int64_t offset = streamOffset_;
    if (!InMemorySource()) {
        if (requests_.empty()) {
            return false;  // nothing to fetch any more: the peer ends
        }
        offset = static_cast<std::int64_t>(requests_.front().block) * kBlockSize;
    }
    const TProxySettings direct{};
    if (!data_->ConnectTo(host.c_str(), port, false, &direct)) {
        NoteFailure("no data connection to " + host + ":" + std::to_string(port) + " for " +
                    Where());
        return false;
    }
    data_->SetReceiveBuffer(task_->SocketReceiveBuffer());
    data_->SetReceiveLowWater(std::min(kWakeBytes, task_->SocketReceiveBuffer() / 2));
    streamOffset_ = offset;
    skipBytes_ = 0;
    step_ = kStepRest;
    return SendCommand("rest " + std::to_string(offset) + "\r\n");
}

bool TFtpPeer::OnRestart() {
    if (reply_.code != 350) {
        return WrongReply();
    }
    if (!InMemorySource() && requests_.empty()) {
        return false;
    }
    step_ = kStepRetr;
    return SendCommand("retr " + peerId_->Details().fileName + "\r\n");
}

// ---- the step ----

bool TFtpPeer::PlanRequests() {
    if (!IsConnected()) {
        return false;
    }
    const std::uint64_t size =
        peerId_->DetailsIfAny() != nullptr ? peerId_->DetailsIfAny()->remoteSize : 0;
    const bool inMemory = InMemorySource();
    if (size > 0 && !inMemory) {
        if (task_->TotalSize() > 0 && task_->TotalSize() != size) {
            NoteFailure(Where() + " reports " + std::to_string(size) + " bytes instead of " +
                        std::to_string(task_->TotalSize()));
            connection_->Close();
            task_->BackOff(peerId_, kSizeMismatchBackOff);
            return false;
        }
        if (step_ == kStepData || step_ == kStepPasv) {
            if (requests_.empty()) {
                skipBytes_ = 0;
                TPeerObject::PlanRequests();
            }
            if (CheckFinished()) {
                return false;
            }
            if (CheckRangeEnd()) {
                skipBytes_ = 0;
            }
        }
    }
    if (phase_ != kPhaseSend) {
        return true;
    }
    if (step_ == kStepPasv && (inMemory ? peerId_->Details().done : requests_.empty())) {
        return true;  // nothing (more) to fetch: no transfer
    }
    return SendCommand(StepCommand());
}

bool TFtpPeer::OnReceive() {
    if (phase_ != kPhaseAwait) {
        return true;
    }
    if (IsTimedOut()) {
        task_->BackOff(peerId_, kTimeoutBackOff);
        return false;
    }
    if (step_ != kStepData) {
        const std::int32_t read = ReadReply();
        if (read <= 0) {
            return read == 0;
        }
        return OnReply();
    }
    if (task_->DownloadBudget() == 0 && connState_ > kConnPending) {
        // Held back by the speed limit, not idle: the time-out counts only waits for the
        // server.
        record_.lastActivity = task_->PeerClock();
        return true;
    }
    return InMemorySource() ? ReceiveIntoMemory() : ReceiveData();
}

bool TFtpPeer::ReceiveData() {
    const std::int32_t received = data_->Receive(ReadSize(task_->DownloadBudget()));
    if (received < 0 && data_->DataSize() == 0) {
        EndTransfer();  // the stream ended (or failed): the server's reply decides
        return true;
    }
    return DeliverData();
}

bool TFtpPeer::ReceiveIntoMemory() {
    TPeerIdDetails& details = peerId_->Details();
    const std::int32_t received = data_->Receive(ReadSize(task_->DownloadBudget()));
    const std::int32_t size = data_->DataSize();
    if (details.memory.size() + static_cast<std::size_t>(size) > kMaxDocumentBytes) {
        NoteFailure(Where() + " sends a document larger than " + std::to_string(kMaxDocumentBytes) +
                    " bytes");
        details.memory.clear();
        details.memory.shrink_to_fit();
        task_->RemoveCandidate(peerId_);
        return false;
    }
    if (size > 0) {
        if (details.memory.capacity() - details.memory.size() < kMemoryGrowth) {
            details.memory.reserve(details.memory.size() + static_cast<std::size_t>(size) +
                                   kMemoryGrowth);
        }
        details.memory.append(reinterpret_cast<const char*>(data_->Data()),
                              static_cast<std::size_t>(size));
        data_->Consume(size);
        streamOffset_ += size;
        record_.lastActivity = task_->PeerClock();
    }
    const bool whole = !details.memory.empty() && details.memory.size() >= details.remoteSize;
    if (whole) {
        details.done = true;
    }
    if (received < 0) {
        data_->Close();
        step_ = kStepTransferEnd;
        phase_ = kPhaseAwait;
        return whole;
    }
    return true;
}

bool TFtpPeer::PlanMore() {
    if (requests_.empty()) {
        TPeerObject::PlanRequests();
    }
    return !requests_.empty();
}

bool TFtpPeer::DeliverData() {
    const std::uint8_t* data = data_->Data();
    const std::int64_t available = data_->DataSize();
    const bool streamOpen = data_->IsOpen();
    std::int64_t used = 0;
    bool ok = true;
    while (true) {
        const std::int64_t skipped = std::min(skipBytes_, available - used);
        skipBytes_ -= skipped;
        streamOffset_ += skipped;
        used += skipped;
        if (skipBytes_ > 0) {
            break;
        }
        if (requests_.empty()) {
            const bool planned = PlanMore();
            if (step_ != kStepData) {
                return true;  // planning moved to another range and abandoned this stream
            }
            if (!planned) {
                break;
            }
        }
        const BlockRequest head = requests_.front();
        const std::int64_t gap = static_cast<std::int64_t>(head.block) * kBlockSize - streamOffset_;
        if (gap < 0 || gap > kMaxSkip) {
            // The needed block is behind the stream or too far ahead: a new transfer.
            data_->Consume(static_cast<std::int32_t>(used), true);
            EndTransfer();
            streamOffset_ = 0;
            skipBytes_ = 0;
            return true;
        }
        if (gap > 0) {
            skipBytes_ = gap;
            continue;
        }
        if (available - used < head.length) {
            break;  // wait for the rest of the block
        }
        if (!StoreBlock(head.block, head.length, data + used)) {
            ok = false;
            break;
        }
        used += head.length;
        streamOffset_ += head.length;
    }
    data_->Consume(static_cast<std::int32_t>(used), true);
    if (ok && !streamOpen && data_->DataSize() > 0 && (skipBytes_ > 0 || !requests_.empty())) {
        // The stream ended short of the next block: what is left can never complete it.
        data_->Close();
        EndTransfer();
        streamOffset_ = 0;
        skipBytes_ = 0;
    }
    return ok;
}

void TFtpPeer::EndTransfer() {
    data_->Close();
    step_ = kStepTransferEnd;
    phase_ = kPhaseAwait;
}

void TFtpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    // Only a flowing transfer is abandoned; between transfers there is nothing to end (and no
    // reply would come to end it).
    if (step_ == kStepData) {
        EndTransfer();
    }
    streamOffset_ = 0;
    skipBytes_ = 0;
}

void TFtpPeer::Reset() {
    TPeerObject::Reset();
    data_->Close();
    step_ = kStepGreeting;
    phase_ = kPhaseAwait;
    reply_ = FtpReply{};
    streamOffset_ = 0;
    skipBytes_ = 0;
}

}  // namespace koruvan::engine
