// A task object driven by the test (no work thread) with BitTorrent peers of its own, each
// talking over loopback TCP to a scripted remote: the remote has the pieces the test gives
// it, unchokes at once, and answers requests only when the test says so. The engine clock
// runs at real speed, so the peers' second-based rules hold still during a test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "PieceTestSupport.h"
#include "engine/core/EngineApi.h"
#include "engine/core/TPieces.h"
#include "engine/core/TWorkThread.h"
#include "engine/peers/BtWire.h"
#include "engine/peers/IpAddress.h"
#include "engine/peers/TBTPeer.h"
#include "engine/peers/TPeerId.h"
#include "support/EngineTestClock.h"
#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::test {

// The remote end of one peer connection.
struct ScriptedRemote {
    engine::TBTPeer* peer = nullptr;  // the task's side
    std::unique_ptr<engine::TPeerConnection> socket;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> requests;  // (index, begin) in order
    std::vector<std::uint8_t> messages;                             // ids, in order
    std::string blocks;                                             // piece payloads' data

    bool handshakeRead = false;

    // Reads what the peer sent (its handshake first) and keeps its requests.
    void Read() {
        if (socket->Receive(65536) < 0) {
            return;
        }
        if (!handshakeRead) {
            if (socket->DataSize() < engine::bt::kHandshakeSize) {
                return;
            }
            socket->Consume(engine::bt::kHandshakeSize);
            handshakeRead = true;
        }
        const std::int32_t used = engine::bt::ScanMessages(
            socket->Data(), socket->DataSize(),
            [this](std::uint8_t id, const std::uint8_t* payload, std::uint32_t size) {
                messages.push_back(id);
                if (id == engine::bt::kRequest && size == 12) {
                    requests.emplace_back(engine::bt::Get32(payload),
                                          engine::bt::Get32(payload + 4));
                } else if (id == engine::bt::kPiece && size > 8) {
                    blocks.append(reinterpret_cast<const char*>(payload + 8), size - 8);
                }
                return engine::bt::Verdict::kContinue;
            },
            [](bool) {});
        socket->Consume(std::max(used, 0));
    }
    [[nodiscard]] std::set<std::int32_t> RequestedPieces() const {
        std::set<std::int32_t> pieces;
        for (const auto& r : requests) {
            pieces.insert(static_cast<std::int32_t>(r.first));
        }
        return pieces;
    }
};

class BtPeerHarness : public ::testing::Test {
  protected:
    static constexpr std::int32_t kPiece = 256 * 1024;  // 16 blocks

    void SetUp() override {
        ASSERT_EQ(engine::EngineStartup(dir_.Path().c_str()), 0);
        engine::EnableP2P(true);
    }
    void TearDown() override {
        for (ScriptedRemote& r : remotes_) {
            if (r.peer != nullptr) {
                task_->ReleasePeer(r.peer);
            }
        }
        remotes_.clear();
        task_.reset();
        engine::EnableP2P(false);
        EXPECT_EQ(engine::EngineCleanup(), 0);
    }

    // A P2SP task over `pieces` pieces, its metainfo loaded.
    void MakeTask(std::int32_t pieces) {
        content_ = MakeContent(static_cast<std::size_t>(pieces) * kPiece, 5);
        task_ = std::make_unique<engine::TWorkThread>();
        task_->SetFlags(engine::kFlagRecorded | engine::kFlagFullPath | engine::kFlagP2spTask);
        task_->SetTargetFile(dir_.File("cab.bin"));
        task_->SetStateFilePath(dir_.File("cab.kvinfo"));
        task_->SetTorrentBlob(MakeTorrent("cab.bin", kPiece, content_));
        ASSERT_TRUE(task_->LoadMetainfo());
        (void)task_->Step();  // the first round sets the transfer budgets (unlimited)
    }

    // Work ranges for `count` web sources that never connect.
    void LayOutWebRanges(int count) {
        std::vector<engine::TPeerId*> sources;
        for (int i = 0; i < count; ++i) {
            sources.push_back(
                new engine::TPeerId("http://127.0.0." + std::to_string(i + 2) + "/f"));
        }
        task_->LayoutRanges(sources);
        for (engine::TPeerId* s : sources) {
            s->Release();
        }
    }

    // Completes the task with the right bytes, as a seed's.
    void Complete() {
        const auto blocks = static_cast<std::int32_t>(content_.size() / engine::kBlockSize);
        for (std::int32_t b = 0; b < blocks; ++b) {
            bool accepted = false;
            (void)task_->AcceptBlock(b, engine::kBlockSize,
                                     reinterpret_cast<const std::uint8_t*>(content_.data()) +
                                         static_cast<std::size_t>(b) * engine::kBlockSize,
                                     nullptr, engine::kKindHttp, accepted);
        }
        ASSERT_TRUE(task_->Pieces()->AllDone());
    }

    // A peer of the task connected to a remote that has the pieces set in `has` (all when
    // empty), past the handshake; `then` follows the remote's bitfield (by default it
    // unchokes the task's peer).
    ScriptedRemote& Connect(const std::vector<bool>& has = {},
                            const std::string& then = engine::bt::Simple(engine::bt::kUnchoke)) {
        engine::TPeerConnection listener;
        const std::uint32_t loopback = engine::HostToNet32(0x7F000001);
        std::uint16_t port = 0;
        for (int i = 0; i < 20 && !listener.Listening(); ++i) {
            port = static_cast<std::uint16_t>(FreeTcpPort());
            (void)listener.Listen(port, loopback);
        }
        ScriptedRemote& remote = remotes_.emplace_back();
        remote.socket = std::make_unique<engine::TPeerConnection>();
        EXPECT_TRUE(remote.socket->Connect(loopback, port, true));
        std::unique_ptr<engine::TPeerConnection> accepted;
        for (int i = 0; i < 500 && accepted == nullptr; ++i) {
            accepted = listener.Accept();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        remote.peer = static_cast<engine::TBTPeer*>(task_->CreatePeer(engine::kKindBitTorrent));
        EXPECT_TRUE(remote.peer->AttachConnection(std::move(accepted)));
        EXPECT_TRUE(remote.peer->SendHandshake());
        engine::bt::Bytes20 id{};
        id.fill(static_cast<std::uint8_t>('A' + remotes_.size()));
        const auto handshake = engine::bt::BuildHandshake(*task_->InfoHash(), id);
        const std::int32_t pieces = task_->Pieces()->PieceCount();
        std::string bits(static_cast<std::size_t>(pieces + 7) / 8, '\0');
        for (std::int32_t p = 0; p < pieces; ++p) {
            if (has.empty() || has[static_cast<std::size_t>(p)]) {
                bits[static_cast<std::size_t>(p / 8)] |= static_cast<char>(0x80 >> (p % 8));
            }
        }
        Send(remote,
             std::string(reinterpret_cast<const char*>(handshake.data()), handshake.size()) +
                 engine::bt::BitfieldMessage(reinterpret_cast<const std::uint8_t*>(bits.data()),
                                             bits.size()) +
                 then);
        Pump(remote);
        EXPECT_TRUE(remote.peer->IsEstablished());
        return remote;
    }

    static void Send(ScriptedRemote& remote, const std::string& bytes) {
        ASSERT_GE(remote.socket->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      static_cast<std::int32_t>(bytes.size())),
                  0);
        for (int i = 0; i < 100 && remote.socket->PendingSend() > 0; ++i) {
            (void)remote.socket->Flush();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Steps the peer a few times, reading its messages on the remote side; false when the
    // step failed (the task would drop the peer).
    static bool Pump(ScriptedRemote& remote, int steps = 20) {
        for (int i = 0; i < steps; ++i) {
            if (!remote.peer->DownloadStep()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            remote.Read();
        }
        return true;
    }

    // Answers every block of `piece` (with its right bytes, or garbage).
    void SendPiece(ScriptedRemote& remote, std::int32_t piece, bool garbage = false) {
        std::string bytes;
        for (std::int32_t begin = 0; begin < kPiece; begin += engine::kBlockSize) {
            std::string block = content_.substr(
                static_cast<std::size_t>(piece) * kPiece + static_cast<std::size_t>(begin),
                engine::kBlockSize);
            if (garbage) {
                block.assign(block.size(), 'x');
            }
            bytes +=
                engine::bt::PieceHeader(static_cast<std::uint32_t>(piece),
                                        static_cast<std::uint32_t>(begin), engine::kBlockSize) +
                block;
        }
        Send(remote, bytes);
    }

    // Lets the peer go as the task does when it drops one.
    void Drop(ScriptedRemote& remote) {
        task_->ReleasePeer(remote.peer);
        remote.peer = nullptr;
    }

    TempDir dir_;
    EngineTestClock clock_{1.0};
    std::string content_;
    std::unique_ptr<engine::TWorkThread> task_;
    std::deque<ScriptedRemote> remotes_;  // stable addresses: tests keep references
};

}  // namespace koruvan::test
