#include "engine/core/TaskDhtSearch.h"

#include <algorithm>
#include <cstdlib>

#include "engine/dht/CKadActionBitTorrent.h"
#include "engine/dht/CKademlia.h"
#include "engine/peers/Resolver.h"

namespace koruvan::engine {
namespace {

constexpr std::string_view kNodeScheme = "node://";

}  // namespace

TaskDhtSearch::~TaskDhtSearch() {
    Drop();
}

void TaskDhtSearch::Drop() {
    if (action_ && node_ != nullptr && CKademlia::HasInstance()) {
        node_->RemoveAction(action_);
    }
    action_.reset();
    node_ = nullptr;
    finishHandled_ = false;
}

std::uint32_t TaskDhtSearch::RestartDelay(int peerCount) noexcept {
    if (peerCount > 3) {
        return peerCount < 8 ? 180 : 360;
    }
    return 30u * static_cast<std::uint32_t>(std::max(peerCount, 1));
}

void TaskDhtSearch::PingNodeSources(CKademlia& node, const std::vector<std::string>& sources) {
    std::size_t pinged = 0;
    for (const std::string& text : sources) {
        if (pinged == kMaxNodeSourcePings) {
            break;
        }
        if (text.size() <= kNodeScheme.size() ||
            !std::equal(kNodeScheme.begin(), kNodeScheme.end(), text.begin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            })) {
            continue;
        }
        const std::string rest = text.substr(kNodeScheme.size());
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos) {
            continue;
        }
        const int port = std::atoi(rest.c_str() + colon + 1);
        const std::uint32_t ip = ResolveSimple(rest.substr(0, colon).c_str());
        if (port <= 0 || port > 65535 || ip == 0 || ip == 0xFFFFFFFFu) {
            continue;
        }
        node.AddBootstrapNode(ip, static_cast<std::uint16_t>(port));
        ++pinged;
    }
}

std::string TaskDhtSearch::Drive(CKademlia& node, const Round& round) {
    if (round.infoHash.IsZero()) {
        Drop();
        return {};
    }
    if (!action_ || action_->Target() != round.infoHash || node_ != &node) {
        Drop();
        node_ = &node;
        action_ = std::make_shared<CKadActionBitTorrent>(node, round.infoHash);
        PingNodeSources(node, round.sources);
    }
    action_->SetAnnouncePort(round.listenPort);
    std::string peers;
    const bool started = action_->StartedTime() != 0 || action_->IsFinished();
    if (started) {
        action_->TakePeers(peers, true);
        if (!action_->IsFinished()) {
            return peers;  // still searching
        }
        if (!finishHandled_) {
            finishHandled_ = true;
            node.RemoveAction(action_);
        }
        if (node.Seconds() - action_->FinishedTime() < RestartDelay(round.peerCount)) {
            return peers;
        }
        action_->Reset();
    }
    finishHandled_ = false;
    node.StartAction(action_);
    return peers;
}

}  // namespace koruvan::engine
