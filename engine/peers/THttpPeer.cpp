#include "engine/peers/THttpPeer.h"

#include <algorithm>
#include <cctype>

#include "engine/core/base/SecConfigHook.h"
#include "engine/peers/HttpBody.h"
#include "engine/peers/ProxySettings.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kTimeoutBackOff = 15;
constexpr std::int32_t kServerErrorBackOff = 60;
constexpr std::int32_t kSizeMismatchBackOff = 60;
constexpr std::int32_t kMaxRepeatedRedirects = 2;
constexpr std::int64_t kUnknownLength = 2147483647;
constexpr std::size_t kMemoryGrowth = 4096;
// Runs of blocks one pass may plan and store from data already received.
constexpr std::int32_t kPlansPerPass = 16;
// What must be waiting on a socket before a waiting task wakes for it.
constexpr std::int32_t kWakeBytes = 64 * 1024;
// Read size for a response header while the speed limit leaves no budget this second.
constexpr std::int32_t kHeaderReadSize = 4096;
// The longest response header accepted.
constexpr std::int32_t kMaxHeaderBytes = 64 * 1024;

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The request path of a signed URL: from the first "/" after "://" on.
std::string RequestPath(const std::string& url) {
    const auto scheme = url.find("://");
    const auto slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    return slash == std::string::npos ? std::string("/") : url.substr(slash);
}

}  // namespace

std::int32_t THttpPeer::ReadSize(std::int32_t budget) const {
    if (budget <= 0) {
        return kHeaderReadSize;  // only a response header is read without budget
    }
    std::int32_t size = std::min(budget, kReadPerPass);
    // Read into the room the buffer already has rather than reallocating it for a few bytes
    // left over from the last pass.
    const std::int32_t room = connection_->ReceiveCapacity() - connection_->DataSize() - 1;
    if (room >= size / 2) {
        size = std::min(size, room);
    }
    return size;
}

bool THttpPeer::InMemorySource() const {
    return peerId_ != nullptr && peerId_->DetailsIfAny() != nullptr &&
           peerId_->DetailsIfAny()->metainfoSource;
}

bool THttpPeer::Connect(TPeerId* identity) {
    if (!TPeerObject::Connect(identity)) {
        return false;
    }
    if (!InMemorySource()) {
        // With the size known (from this source, or from the task's layout) the first
        // request asks for the blocks this connection needs; without it, the whole file
        // from the start.
        const bool known = identity->Details().remoteSize > 0 || task_->TotalSize() > 0;
        if (requests_.empty() && known) {
            TPeerObject::PlanRequests();
            if (requests_.empty()) {
                return false;  // nothing left to ask this source for
            }
        }
        streamOffset_ =
            requests_.empty() ? 0 : static_cast<std::int64_t>(requests_.front().block) * kBlockSize;
        if (identity->Details().rangesIgnored) {
            streamOffset_ = 0;  // it sends the whole file anyway: ask for it plainly
        }
    } else if (identity->torrentSource) {
        task_->SetPhase(2);
    }
    const TProxySettings direct{};
    if (!connection_->Connect(identity->ip, identity->port, false, &direct)) {
        return false;
    }
    // A pass reads what arrived since the last one, a few milliseconds ago: the socket must
    // be able to hold that much on a fast link; under a speed limit it holds little, so the
    // server is held back by the window rather than by data thrown away at a close.
    connection_->SetReceiveBuffer(task_->SocketReceiveBuffer());
    // A waiting task wakes once a useful amount has arrived, not for every segment.
    connection_->SetReceiveLowWater(std::min(kWakeBytes, task_->SocketReceiveBuffer() / 2));
    connState_ = kConnPending;
    record_.incoming = false;
    return SendRequest();
}

bool THttpPeer::SendRequest() {
    TPeerIdDetails& details = peerId_->Details();
    const WebRequestTexts texts =
        PrepareWebRequest(details.url.empty() ? peerId_->text : details.url);
    details.referer = texts.referer;
    const std::string& host = details.requestHost.empty() ? peerId_->host : details.requestHost;
    const HttpRequestTexts request{texts.userAgent, texts.referer, details.referer};
    const std::string bytes = BuildRequest(host, RequestPath(texts.signedUrl), nullptr, nullptr,
                                           streamOffset_, 0, request);
    if (bytes.empty()) {
        return false;
    }
    return connection_->Queue(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                              static_cast<std::int32_t>(bytes.size()));
}

bool THttpPeer::OnSend() {
    if (IsConnected() && connection_->PendingSend() > 0) {
        return connection_->Flush() >= 0;
    }
    return IsConnected();
}

std::int32_t THttpPeer::ParseHeader() {
    const std::int32_t size = connection_->DataSize();
    if (!connection_->IsOpen() && size == 0) {
        return -1;
    }
    if (size <= 2) {
        return 0;
    }
    const std::int32_t used =
        header_.Parse(reinterpret_cast<const char*>(connection_->Data()), size);
    if (used <= 0) {
        // No real server sends a header this long: one that keeps sending header lines
        // would otherwise grow the receive buffer without end.
        if (size > kMaxHeaderBytes) {
            NoteFailure(Where() + " sends a response header longer than " +
                        std::to_string(kMaxHeaderBytes) + " bytes");
            task_->BackOff(peerId_, kServerErrorBackOff);
            return -1;
        }
        return 0;
    }
    headerParsed_ = true;
    connection_->Consume(used, true);
    connState_ = kConnEstablished;
    return 1;
}

bool THttpPeer::OnReceive() {
    if (!IsConnected()) {
        return false;
    }
    if (IsTimedOut()) {
        task_->BackOff(peerId_, kTimeoutBackOff);
        return false;
    }
    const std::int32_t budget = task_->DownloadBudget();
    if (budget == 0 && connState_ > kConnPending) {
        // Held back by the speed limit, not idle: the time-out counts only waits for the
        // server.
        record_.lastActivity = task_->PeerClock();
        return true;
    }
    if (!headerParsed_) {
        // A header is small: no large buffer for it.
        const std::int32_t size = std::min(ReadSize(budget), kHeaderReadSize * 16);
        if (connection_->Receive(size) < 0 && connection_->DataSize() == 0) {
            return false;
        }
        const std::int32_t parsed = ParseHeader();
        if (parsed <= 0) {
            return parsed == 0;
        }
        return OnHeader();
    }
    if (InMemorySource()) {
        return ReceiveIntoMemory();
    }
    if (record_.sentRequests > 0) {
        return ReceiveBlocks();
    }
    return true;
}

bool THttpPeer::OnHeader() {
    const std::int32_t status = header_.Status();
    if (status >= 200 && status < 300) {
        return OnSuccess();
    }
    if (status >= 300 && status < 400) {
        return OnRedirect();
    }
    NoteFailure("HTTP " + std::to_string(status) + " from " + Where());
    if (status >= 400 && status < 500) {
        connection_->Close();
        task_->RemoveCandidate(peerId_);
        return false;
    }
    if (status >= 500 && status < 600) {
        connection_->Close();
        task_->BackOff(peerId_, kServerErrorBackOff);
    }
    return false;
}

bool THttpPeer::OnSuccess() {
    if (peerId_->priority == 29) {
        peerId_->priority = 28;
    }
    if (!InMemorySource() && !AcceptBody()) {
        return false;
    }
    TPeerIdDetails& details = peerId_->Details();
    // Another connection to this source reads the header data; but while the size is still
    // unknown every connection learns it, so that two connections opened before the first
    // answer do not both wait for the other.
    if (peerId_->activeConnections > 1 && details.remoteSize > 0) {
        return true;
    }
    details.redirected = false;
    if (details.remoteSize == 0) {
        const std::int64_t length = ContentLength(header_, lengthUnknown_);
        if (length > 0) {
            details.remoteSize = static_cast<std::uint64_t>(length);
        } else if (InMemorySource() && lengthUnknown_) {
            details.remoteSize = kUnknownLength;
        }
    }
    ReadFileName();
    record_.lastActivity = task_->PeerClock();
    if (details.remoteSize > 0 && !InMemorySource() && task_->TotalSize() == 0) {
        // A download without metainfo takes its layout from the first size a source reports.
        task_->LearnTotalSize(details.remoteSize, details.fileName);
    }
    return details.remoteSize > 0;
}

// A body is stored by the offsets it claims, so it is used only when the response agrees
// with what was asked and with the file's size: a 206 for the asked offset of a file of
// that size, or a 200 with the whole file (a server that ignores ranges). Anything else
// fails the source before a byte of the body is read. The body's end is kept: bytes past
// it are never taken as the file's.
bool THttpPeer::AcceptBody() {
    const std::int64_t asked = streamOffset_;
    const std::uint64_t expected =
        task_->TotalSize() > 0 ? task_->TotalSize() : peerId_->Details().remoteSize;
    const HttpBody body = CheckHttpBody(header_, asked, expected);
    if (body.verdict != HttpBody::Verdict::kUsable) {
        NoteFailure(Where() + " " + body.reason);
        connection_->Close();
        if (body.verdict == HttpBody::Verdict::kOtherRange) {
            task_->RemoveCandidate(peerId_);
        } else {
            task_->BackOff(peerId_, kSizeMismatchBackOff);
        }
        return false;
    }
    streamOffset_ = body.start;
    bodyStart_ = body.start;
    bodyEnd_ = body.end;
    if (peerId_->Details().remoteSize == 0) {
        peerId_->Details().remoteSize = static_cast<std::uint64_t>(body.fileSize);
    }
    if (header_.Status() == 200 && asked > 0) {
        // From now on this source is asked for the whole file, on one connection, and the
        // stream is read up to the blocks wanted (PlanRequests skips any distance for it).
        peerId_->Details().rangesIgnored = true;
        peerId_->maxConnections = 1;
    }
    return true;
}

void THttpPeer::ReadFileName() {
    TPeerIdDetails& details = peerId_->Details();
    std::string name = HttpDispositionFileName(header_);
    if (!name.empty()) {
        details.fileName = std::move(name);
    } else if (details.fileName.empty()) {
        details.fileName = "index.htm";
    }
}

bool THttpPeer::OnRedirect() {
    TPeerIdDetails& details = peerId_->Details();
    details.redirected = true;
    const std::string location =
        AbsoluteLocation(header_.Get("Location"), peerId_->host, peerId_->port);
    connection_->Close();
    if (EqualNoCase(location, details.lastRedirect)) {
        if (++details.redirectCount > kMaxRepeatedRedirects) {
            task_->RemoveCandidate(peerId_);
        }
    } else {
        details.lastRedirect = location;
        ++details.redirectCount;
    }
    auto* target = new TPeerId(location);
    target->Details().metainfoSource = details.metainfoSource;
    target->torrentSource = peerId_->torrentSource;
    if (ParseSourceUrl(*target)) {
        target->priority = 28;
        task_->AddCandidate(target);
    } else if (target->resolutionFailed) {
        task_->ReportUnresolvedRedirect();
    }
    target->Release();
    transferState_ = kTransferFinished;
    return false;
}

bool THttpPeer::ReceiveIntoMemory() {
    TPeerIdDetails& details = peerId_->Details();
    const std::int32_t received = connection_->Receive();
    const std::int32_t size = connection_->DataSize();
    if (details.memory.size() + static_cast<std::size_t>(size) > kMaxDocumentBytes) {
        // No metainfo is this large: a source that sends more is not serving one.
        NoteFailure(Where() + " sends a document larger than " + std::to_string(kMaxDocumentBytes) +
                    " bytes");
        details.memory.clear();
        details.memory.shrink_to_fit();
        connection_->Close();
        task_->RemoveCandidate(peerId_);
        return false;
    }
    if (size > 0) {
        if (details.memory.capacity() - details.memory.size() < kMemoryGrowth) {
            details.memory.reserve(details.memory.size() + static_cast<std::size_t>(size) +
                                   kMemoryGrowth);
        }
        details.memory.append(reinterpret_cast<const char*>(connection_->Data()),
                              static_cast<std::size_t>(size));
        connection_->Consume(size);
        record_.lastActivity = task_->PeerClock();
    }
    const bool whole = details.memory.size() >= details.remoteSize;
    if (received < 0) {
        if ((lengthUnknown_ || whole) && !details.memory.empty()) {
            details.done = true;
            return true;
        }
        return size > 0;
    }
    if (whole) {
        details.done = true;
    }
    return true;
}

bool THttpPeer::ReceiveBlocks() {
    const std::int32_t budget = task_->DownloadBudget();
    if (connection_->Receive(ReadSize(budget)) < 0 && connection_->DataSize() == 0) {
        return false;
    }
    const std::uint8_t* data = connection_->Data();
    // Only the response's body is the file's: what follows it is not read as content.
    const std::int64_t available =
        std::min<std::int64_t>(connection_->DataSize(), bodyEnd_ - streamOffset_);
    std::int64_t used = std::min(skipBytes_, available);
    skipBytes_ -= used;
    streamOffset_ += used;
    if (used < available) {
        for (std::int32_t plans = 0; plans < kPlansPerPass; ++plans) {
            if (!StoreBuffered(data, available, used) || !connection_->IsConnected()) {
                connection_->Consume(static_cast<std::int32_t>(used), true);
                return false;
            }
            // The stream runs on past the blocks asked for: plan the next ones in the same
            // pass when they continue right where the stream is.
            if (record_.sentRequests > 0 || available - used < kBlockSize || !PlanContinuation()) {
                break;
            }
        }
    }
    connection_->Consume(static_cast<std::int32_t>(used), true);
    if (streamOffset_ >= bodyEnd_ && connection_->DataSize() > 0) {
        // More bytes than the response declared: nothing it sends can be trusted.
        NoteFailure(Where() + " sends more than the " + std::to_string(bodyEnd_ - bodyStart_) +
                    " bytes its response declared");
        connection_->Close();
        task_->BackOff(peerId_, kSizeMismatchBackOff);
        return false;
    }
    return connection_->IsOpen() || connection_->DataSize() > 0;
}

bool THttpPeer::StoreBuffered(const std::uint8_t* data, std::int64_t available,
                              std::int64_t& used) {
    while (record_.sentRequests > 0 && !requests_.empty()) {
        const BlockRequest head = requests_.front();
        const std::int64_t offset = static_cast<std::int64_t>(head.block) * kBlockSize;
        if (offset != streamOffset_ || offset + head.length > bodyEnd_) {
            // The stream (or this response) no longer serves the queue: re-plan, which asks
            // again where the stream cannot deliver.
            record_.sentRequests = 0;
            break;
        }
        if (available - used < head.length) {
            break;
        }
        if (!StoreBlock(head.block, head.length, data + used)) {
            return false;
        }
        used += head.length;
        streamOffset_ += head.length;
    }
    return true;
}

bool THttpPeer::PlanContinuation() {
    if (requests_.empty()) {
        TPeerObject::PlanRequests();
    }
    if (requests_.empty() ||
        static_cast<std::int64_t>(requests_.front().block) * kBlockSize != streamOffset_ ||
        streamOffset_ + requests_.front().length > bodyEnd_) {
        return false;
    }
    record_.sentRequests = ConsecutiveRequests();
    skipBytes_ = 0;
    return true;
}

std::int32_t THttpPeer::ConsecutiveRequests() const {
    std::size_t run = 1;
    while (run < requests_.size() && requests_[run].block == requests_[run - 1].block + 1) {
        ++run;
    }
    return static_cast<std::int32_t>(run);
}

bool THttpPeer::PlanRequests() {
    if (!IsConnected()) {
        return false;
    }
    if (!headerParsed_ || record_.sentRequests > 0 || InMemorySource()) {
        return true;
    }
    const std::uint64_t size = peerId_->Details().remoteSize;
    if (size > 0) {
        if (task_->TotalSize() > 0 && task_->TotalSize() != size) {
            NoteFailure(Where() + " reports " + std::to_string(size) + " bytes instead of " +
                        std::to_string(task_->TotalSize()));
            connection_->Close();
            task_->BackOff(peerId_, kSizeMismatchBackOff);
            return false;
        }
        if (requests_.empty()) {
            skipBytes_ = 0;
            TPeerObject::PlanRequests();
        }
        if (CheckFinished()) {
            return false;
        }
        if (CheckRangeEnd()) {
            record_.sentRequests = 0;
            skipBytes_ = 0;
        }
    }
    if (requests_.empty()) {
        return true;
    }
    record_.sentRequests = ConsecutiveRequests();
    const std::int64_t first = static_cast<std::int64_t>(requests_.front().block) * kBlockSize;
    skipBytes_ = first - streamOffset_;
    const bool inBody = first + requests_.front().length <= bodyEnd_;
    if (skipBytes_ >= 0 && inBody && (skipBytes_ <= kMaxSkip || peerId_->Details().rangesIgnored)) {
        return true;
    }
    // Too far from the stream: a new connection with a new range.
    skipBytes_ = 0;
    headerParsed_ = false;
    record_.sentRequests = 0;
    TPeerId* identity = DetachIdentity();  // our reference, held across the reconnect
    ++identity->connectionsMade;
    const bool connected = Connect(identity);
    identity->Release();
    return connected;
}

void THttpPeer::Reset() {
    headerParsed_ = false;
    skipBytes_ = 0;
    streamOffset_ = 0;
    bodyStart_ = 0;
    bodyEnd_ = 0;
    lengthUnknown_ = false;
    header_.Clear();
    TPeerObject::Reset();
}

void THttpPeer::ReleaseRange() {
    TPeerObject::ReleaseRange();
    skipBytes_ = 0;
    record_.sentRequests = 0;
}

}  // namespace koruvan::engine
