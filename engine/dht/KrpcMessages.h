// KRPC messages this node writes, byte for byte, and the size rule they obey. Messages
// are written as text, not through the bencode element classes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/dht/KadNodeId.h"

namespace koruvan::engine {

inline constexpr std::size_t kTransactionIdBytes = 8;
// The arguments of a message plus the length of its query name stay below this.
inline constexpr std::size_t kMaxArgumentBytes = 1201;
// Transaction ids this node echoes in answers: other implementations use short ones.
inline constexpr std::size_t kMaxEchoedTransactionIdBytes = 20;

// A query: "d1:ad2:id20:" ID <arguments> "e1:q" <name> "1:t8:" TID "1:y1:qe". Nothing when
// the arguments are too long or the transaction id is not 8 bytes.
std::optional<std::string> BuildQuery(const KadNodeId& ownId, std::string_view name,
                                      std::string_view arguments, std::string_view tid);
std::string PingArguments();
std::string FindNodeArguments(const KadNodeId& target);
std::string GetPeersArguments(const KadNodeId& infoHash);
// The announce arguments; `token` (the asked node's own, any length) empty gives
// "5:token0:".
std::string AnnounceArguments(const KadNodeId& infoHash, int port, std::string_view token);

// A response: "d1:rd2:id20:" ID <body> "e1:t" LEN ":" TID "1:y1:re". Nothing when the body is
// too long.
std::optional<std::string> BuildResponse(const KadNodeId& ownId, std::string_view body,
                                         std::string_view tid);
// The body of a nodes answer: "5:nodes" LEN ":" NODES "5:token20:" TOKEN.
std::string NodesBody(std::string_view compactNodes, std::string_view token);
// The body of a values answer: VALUES ("6:valuesl...e") "5:token20:" TOKEN.
std::string ValuesBody(std::string_view valuesText, std::string_view token);
// "d1:e20:Invalid Write Token!1:t" LEN ":" TID "1:y1:ee".
std::string InvalidTokenError(std::string_view tid);

// The 8 bytes of a transaction counter value, least significant first.
std::string TransactionIdBytes(std::uint64_t counter);

}  // namespace koruvan::engine
