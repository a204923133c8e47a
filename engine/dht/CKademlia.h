// The engine's node in the BitTorrent distributed hash table: a thread named "Kademlia"
// that answers KRPC queries, keeps the routing table, runs lookups for itself and for
// download tasks, stores announced peers, and keeps its table across runs in a node file.
//
// Datagrams come in through HandleDatagram (the UDP server's thread) and wait in a queue of
// at most 2048 parsed messages for the node's thread; messages go out through the sender
// the owner installs (the engine's UDP socket).
//
// Locking: the node lock (ThreadLock()) guards queue_, queueFull_, pending_, pingTids_,
// bootstrapPings_, running_/own actions/doomed_ lists, nodeFilePath_ and bootstrap_. It is
// never held while the routing table, an action or the sender is called. foundLock_ guards
// found_ (contacts lookups discovered), so actions may queue them under their own lock.
// The routing table and peer store have their own leaf locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/base/QThread.h"
#include "engine/dht/KadNode.h"
#include "engine/dht/KadPeerStore.h"
#include "engine/dht/KadRoutingTable.h"

namespace koruvan::engine {

class CKadActionBase;
class QElement;

inline constexpr std::size_t kReceiveQueueLimit = 2048;
inline constexpr std::uint32_t kPingTimeoutSeconds = 10;

// Sends one datagram to ip (network order):port; true when it went out.
using KadSender = std::function<bool(const void* data, int len, std::uint32_t ip, int port)>;

// The node's clocks: the seconds counter and the millisecond tick count.
struct KadClock {
    std::function<std::uint32_t()> seconds;
    std::function<std::uint32_t()> tick;
};

struct KadStatistics {
    std::size_t contacts = 0;
    std::size_t goodContacts = 0;
    std::size_t hashes = 0;
    std::size_t peers = 0;
    std::size_t pendingPings = 0;
    std::size_t actions = 0;
};

class CKademlia final : public QThread {
  public:
    // The process-wide node, created (not running) on first use.
    static CKademlia& Instance();
    // Stops and deletes the process-wide node; false when there was none.
    static bool DeleteInstance() noexcept;
    static bool HasInstance() noexcept;
    // A datagram for the process-wide node, if there is one (the UDP server's handler).
    static void Deliver(const std::uint8_t* bytes, int len, std::uint32_t ip, int port) noexcept;
    // Contacts of the process-wide node's table; -1 when there is no running node.
    static std::int32_t RunningTableSize() noexcept;

    // An empty clock uses the engine's clocks.
    explicit CKademlia(KadClock clock = {});
    ~CKademlia() override;

    void SetSender(KadSender sender);
    void SetNodeFilePath(std::string path);
    // "host:port[,host:port...]" (dotted addresses or localhost); replaces the list.
    void SetBootstrapList(const std::string& list);

    // Starts the thread "Kademlia" unless it runs; Stop is QThread's.
    bool Start();
    [[nodiscard]] bool IsNodeRunning() const noexcept { return nodeRunning_.load(); }

    // What the thread does at its start and end, for tests that drive the passes by hand:
    // Open loads the node file, sets the running flag and bootstraps when the table is
    // small; Close clears the flag, saves the file and drops everything.
    void Open();
    void Close();
    // One 200 ms step of the thread.
    void ProcessReceived();
    void Housekeeping();
    void PeriodicPass();

    // A datagram from the UDP server: bytes, length, sender ip (network order), port.
    void HandleDatagram(const std::uint8_t* bytes, int len, std::uint32_t ip, int port) noexcept;
    bool SendMessage(const std::string& bytes, std::uint32_t ip, int port);

    void AddBootstrapNode(std::uint32_t ip, std::uint16_t port);
    void PingNode(const KadNode& contact);
    void OfferNode(const KadNode& contact, bool heardFrom);

    // Actions (lookups). Task actions are shared with their task; the node's own are kept
    // in its own list.
    void StartAction(const std::shared_ptr<CKadActionBase>& action);
    void RemoveAction(const std::shared_ptr<CKadActionBase>& action);
    void SeedAction(const KadNodeId& target, CKadActionBase& action);
    void StartFindAction(const KadNodeId& target);
    // A contact a lookup found, offered to the table in the next housekeeping pass.
    void QueueFoundContact(const KadNode& contact);

    std::string NewTransactionId();
    [[nodiscard]] std::uint32_t Seconds() const { return clock_.seconds(); }
    [[nodiscard]] std::uint32_t Tick() const { return clock_.tick(); }
    KadRoutingTable& Table() noexcept { return table_; }
    KadPeerStore& Peers() noexcept { return peers_; }
    [[nodiscard]] KadNodeId OwnId() const { return table_.OwnId(); }

    // The node file of the data folder ("KoruvanKademlia.kad").
    static std::string DefaultNodeFilePath();
    // Contacts in a node file; -1 when it is not a loadable node file.
    static std::int32_t NodeFileContacts(const std::string& path);
    bool SaveNodeFile();
    bool LoadNodeFile();
    // The node file's bytes for the current table.
    [[nodiscard]] std::string NodeFileContent() const;

    [[nodiscard]] KadStatistics Statistics() const;
    [[nodiscard]] std::size_t QueuedMessages();
    [[nodiscard]] std::uint64_t DatagramsReceived() const { return received_.load(); }
    [[nodiscard]] std::uint64_t DatagramsDropped() const { return dropped_.load(); }
    [[nodiscard]] std::uint64_t DatagramsSent() const { return sent_.load(); }
    [[nodiscard]] std::size_t PendingPings();

    int Run() override;
    void Refresh() override {}

  private:
    struct Message {
        std::vector<char> bytes;  // the tree's source pointers point in here
        std::unique_ptr<QElement> tree;
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
    };
    struct PendingPing {
        std::uint32_t sent = 0;
        KadNode contact;
        std::vector<KadNode> candidates;  // waiting for a place in the contact's bucket
    };
    struct BootstrapPing {
        KadNode contact;
        std::uint32_t sent = 0;
    };
    using ContactKey = std::pair<KadNodeId, std::uint32_t>;
    static ContactKey KeyOf(const KadNode& n) { return {n.id, n.ip}; }

    void ProcessMessage(const Message& message);
    void AnswerQuery(const QElement& root, const QElement& args, const KadNode& sender,
                     const std::string& tid);
    void HandleResponse(const QElement& body, KadNode sender, const std::string& tid);
    void SendResponse(const std::string& body, const KadNode& to, const std::string& tid);
    void PingedContactAlive(const KadNode& contact);
    void PingedContactFailed(const KadNode& contact);
    void PingBootstrapList();
    void RefreshBuckets(bool forced);

    KadClock clock_;
    KadRoutingTable table_;
    KadPeerStore peers_;
    KadSender sender_;  // set before the thread starts

    std::vector<Message> queue_;
    bool queueFull_ = false;
    std::map<ContactKey, PendingPing> pending_;
    std::map<std::string, KadNode> pingTids_;
    std::map<std::string, BootstrapPing> bootstrapPings_;
    std::vector<std::shared_ptr<CKadActionBase>> running_;
    std::vector<std::shared_ptr<CKadActionBase>> own_;
    std::vector<std::shared_ptr<CKadActionBase>> doomed_;
    std::string nodeFilePath_;
    std::vector<std::pair<std::string, std::uint16_t>> bootstrap_;

    std::mutex foundLock_;
    std::vector<KadNode> found_;

    std::atomic<bool> nodeRunning_{false};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> receivedBytes_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::uint64_t> sentBytes_{0};
    std::atomic<std::uint32_t> lastSend_{0};

    // Periodic pass clocks (node thread only).
    std::uint32_t lastPeriodic_ = 0;
    std::uint32_t lastExpiry_ = 0;
    std::uint32_t lastSecrets_ = 0;
    std::uint32_t lastRandomLookup_ = 0;
    std::uint32_t lastRefresh_ = 0;
    std::uint32_t refreshes_ = 0;
    std::uint32_t lastSave_ = 0;
    KadStatistics snapshot_;
};

}  // namespace koruvan::engine
