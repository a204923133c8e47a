#include "engine/dht/KrpcMessages.h"

namespace koruvan::engine {
namespace {

std::string Counted(std::string_view bytes) {
    return std::to_string(bytes.size()) + ":" + std::string(bytes);
}

}  // namespace

std::optional<std::string> BuildQuery(const KadNodeId& ownId, std::string_view name,
                                      std::string_view arguments, std::string_view tid) {
    if (arguments.size() + name.size() >= kMaxArgumentBytes || tid.size() != kTransactionIdBytes) {
        return std::nullopt;
    }
    std::string out = "d1:ad2:id20:";
    out += ownId.Bytes();
    out += arguments;
    out += "e1:q";
    out += Counted(name);
    out += "1:t";
    out += Counted(tid);
    out += "1:y1:qe";
    return out;
}

std::string PingArguments() {
    return {};
}

std::string FindNodeArguments(const KadNodeId& target) {
    return "6:target20:" + target.Bytes();
}

std::string GetPeersArguments(const KadNodeId& infoHash) {
    return "9:info_hash20:" + infoHash.Bytes();
}

std::string AnnounceArguments(const KadNodeId& infoHash, int port, std::string_view token) {
    return GetPeersArguments(infoHash) + "4:porti" + std::to_string(port) + "e5:token" +
           Counted(token);
}

std::optional<std::string> BuildResponse(const KadNodeId& ownId, std::string_view body,
                                         std::string_view tid) {
    if (body.size() >= kMaxArgumentBytes || tid.empty() ||
        tid.size() > kMaxEchoedTransactionIdBytes) {
        return std::nullopt;
    }
    std::string out = "d1:rd2:id20:";
    out += ownId.Bytes();
    out += body;
    out += "e1:t";
    out += Counted(tid);
    out += "1:y1:re";
    return out;
}

std::string NodesBody(std::string_view compactNodes, std::string_view token) {
    return "5:nodes" + Counted(compactNodes) + "5:token" + Counted(token);
}

std::string ValuesBody(std::string_view valuesText, std::string_view token) {
    return std::string(valuesText) + "5:token" + Counted(token);
}

std::string InvalidTokenError(std::string_view tid) {
    return "d1:e20:Invalid Write Token!1:t" + Counted(tid) + "1:y1:ee";
}

std::string TransactionIdBytes(std::uint64_t counter) {
    std::string out(kTransactionIdBytes, '\0');
    for (std::size_t i = 0; i < kTransactionIdBytes; ++i) {
        out[i] = static_cast<char>(counter >> (8 * i));
    }
    return out;
}

}  // namespace koruvan::engine
