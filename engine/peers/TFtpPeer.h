// A web source over FTP: a control connection that logs in (the URL's user and password, or
// an anonymous login), changes to the file's directory, asks its size and binary mode, and
// then runs passive transfers (PASV, REST at the first needed block, RETR) on a second, data
// connection. The stream is cut into the blocks the peer planned; it is kept while the next
// needed block lies at most 80 KiB ahead, otherwise it is abandoned (the server answers the
// aborted transfer, usually with 426) and a new transfer starts at the new offset. A
// metainfo source reads its whole document into memory instead.
//
// Belongs to one task and runs on its work thread only; takes no lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/peers/TFtpPeerReply.h"
#include "engine/peers/TPeerObject.h"

namespace koruvan::engine {

class TFtpPeer final : public TPeerObject {
  public:
    // Where the command dialogue stands: the command whose reply is awaited (data flows in
    // step 0; step 11 awaits the reply that ends a transfer).
    enum Step : std::int32_t {
        kStepData = 0,
        kStepGreeting = 1,
        kStepUser = 2,
        kStepPass = 3,
        kStepCwd = 4,
        kStepSize = 5,
        kStepType = 6,
        kStepPasv = 7,
        kStepRest = 8,
        kStepRetr = 9,
        kStepTransferEnd = 11,
    };
    // The command of the step is still to be sent / sent and draining / its reply (or, in
    // step 0, data) is awaited.
    enum Phase : std::int32_t { kPhaseSend = 0, kPhaseDrain = 1, kPhaseAwait = 2 };

    // Gap the stream may skip instead of starting a new transfer (five blocks).
    static constexpr std::int64_t kMaxSkip = 81920;
    // Bytes read from the data connection per pass: a pass follows as soon as the socket has
    // data again, so one socket buffer's worth keeps up with a fast link; it also bounds the
    // connection's receive buffer (the memory budget of a connection). The download budget
    // caps every read.
    static constexpr std::int32_t kReadPerPass = 1024 * 1024;
    // The largest document an in-memory (metainfo) source may deliver.
    static constexpr std::size_t kMaxDocumentBytes = 16 * 1024 * 1024;

    explicit TFtpPeer(PeerTask& task);

    bool OnReceive() override;
    bool OnSend() override;
    bool PlanRequests() override;
    void Reset() override;
    bool Connect(TPeerId* identity) override;
    bool IsTimedOut() override { return IdleTimedOut(step_ != kStepData); }
    void ReleaseRange() override;
    [[nodiscard]] const TPeerConnection* PayloadConnection() const noexcept override {
        return data_.get();
    }

    [[nodiscard]] std::int32_t CurrentStep() const noexcept { return step_; }
    [[nodiscard]] std::int32_t CurrentPhase() const noexcept { return phase_; }
    [[nodiscard]] std::int64_t StreamOffset() const noexcept { return streamOffset_; }

  private:
    ~TFtpPeer() override { Reset(); }

    // 1 a whole reply was read (into reply_), 0 not yet, -1 the control connection failed or
    // the reply is malformed.
    std::int32_t ReadReply();
    // Checks the reply against the step and moves the dialogue on; false drops the peer.
    bool OnReply();
    bool OnSize();
    bool OnPassive();
    bool OnRestart();
    // Sends a command line on the control connection (phase 1 afterwards).
    bool SendCommand(const std::string& line);
    // The command the current step sends in phase 0 (empty: nothing to send).
    [[nodiscard]] std::string StepCommand() const;
    // Data of the running transfer.
    bool ReceiveData();
    bool ReceiveIntoMemory();
    // Cuts the buffered stream into the queued blocks; false when a block was refused.
    bool DeliverData();
    // Abandons the running transfer: closes the data connection and awaits the reply.
    void EndTransfer();
    // Plans the next blocks when the queue ran empty in the middle of a stream.
    bool PlanMore();
    // Drops the peer because the server gave an unexpected reply.
    bool WrongReply();
    [[nodiscard]] bool InMemorySource() const;
    [[nodiscard]] std::int32_t ReadSize(std::int32_t budget) const;

    std::int32_t step_ = kStepGreeting;
    std::int32_t phase_ = kPhaseAwait;
    FtpReply reply_;
    // The passive data connection: one object, reconnected for every transfer, so that its
    // byte totals keep counting across transfers.
    std::unique_ptr<TPeerConnection> data_;
    std::int64_t streamOffset_ = 0;  // content offset of the next data byte
    std::int64_t skipBytes_ = 0;     // data bytes to discard before the first needed block
};

}  // namespace koruvan::engine
