// A web source over plain HTTP/1.1 with byte ranges: one open-ended range request covers a
// run of consecutive blocks, and one response stream is kept while the next blocks lie at
// most 128 KiB ahead of it. Learns the content length and file name from the response,
// hands redirect targets to the task as new sources, and reports failing sources with a
// back-off. A metainfo source reads its whole document into memory instead.
#pragma once

#include <cstdint>

#include "engine/peers/THttpHeader.h"
#include "engine/peers/TPeerObject.h"

namespace koruvan::engine {

class THttpPeer final : public TPeerObject {
  public:
    // Gap the stream may skip instead of reconnecting at the next range.
    static constexpr std::int64_t kMaxSkip = 131072;
    // Bytes read per pass. A pass follows as soon as the socket has data again, so one
    // socket buffer's worth keeps up with a fast link (loopback moves gigabytes per second);
    // it is also what bounds a connection's receive buffer (memory budget: about this much
    // per connection).
    static constexpr std::int32_t kReadPerPass = 1024 * 1024;
    // The largest document an in-memory (metainfo) source may deliver.
    static constexpr std::size_t kMaxDocumentBytes = 16 * 1024 * 1024;

    explicit THttpPeer(PeerTask& task) : TPeerObject(task, kKindHttp) {}

    bool OnReceive() override;
    bool OnSend() override;
    bool PlanRequests() override;
    void Reset() override;
    bool Connect(TPeerId* identity) override;
    bool IsTimedOut() override { return IdleTimedOut(headerParsed_); }
    void ReleaseRange() override;

    [[nodiscard]] std::int64_t StreamOffset() const noexcept { return streamOffset_; }

  private:
    ~THttpPeer() override { Reset(); }

    bool SendRequest();
    // -1 failed, 0 incomplete, 1 parsed.
    std::int32_t ParseHeader();
    bool OnHeader();
    bool OnSuccess();
    [[nodiscard]] bool AcceptBody();
    bool OnRedirect();
    bool ReceiveIntoMemory();
    bool ReceiveBlocks();
    // Stores the head requests the buffered stream holds; false when a block was refused.
    bool StoreBuffered(const std::uint8_t* data, std::int64_t available, std::int64_t& used);
    // Plans the next blocks when they continue the stream exactly.
    bool PlanContinuation();
    [[nodiscard]] std::int32_t ConsecutiveRequests() const;
    [[nodiscard]] bool InMemorySource() const;
    [[nodiscard]] std::int32_t ReadSize(std::int32_t budget) const;
    void ReadFileName();

    bool headerParsed_ = false;
    std::int64_t skipBytes_ = 0;
    std::int64_t streamOffset_ = 0;
    // Content offsets of the current response's body: its first byte, and just past its last.
    std::int64_t bodyStart_ = 0;
    std::int64_t bodyEnd_ = 0;
    THttpHeader header_;
    bool lengthUnknown_ = false;
};

}  // namespace koruvan::engine
