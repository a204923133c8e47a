// Remote addresses with an outgoing BitTorrent handshake under way, engine-wide. Common
// clients take one handshake per remote address at a time and reset the others; the
// engine's tasks (one per file, often all reaching the same remote) therefore take turns:
// a task does not dial an address another handshake is still under way to.
//
// Any thread: one engine-wide table behind a lock of its own.
#pragma once

#include <cstdint>

namespace koruvan::engine {

// `ip` in network order. Every Begin is matched by one End.
void BeginOutgoingHandshake(std::uint32_t ip);
void EndOutgoingHandshake(std::uint32_t ip);
[[nodiscard]] bool OutgoingHandshakeUnderWay(std::uint32_t ip);

}  // namespace koruvan::engine
