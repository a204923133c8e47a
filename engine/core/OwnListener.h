// Whether an address and port lead back to this engine's own P2P listener, so that no task
// dials itself: while the listener runs, its port at the bind address, or, with no bind
// address (the listener takes every address), at any address of this machine, the whole
// network of a loopback interface included (every 127.x.y.z reaches it).
//
// Any thread: the machine's addresses are cached engine-wide behind a lock of their own and
// listed again at most every few seconds.
#pragma once

#include <cstdint>

namespace koruvan::engine {

// `ip` in network order, `port` in host order.
[[nodiscard]] bool IsOwnListener(std::uint32_t ip, std::uint16_t port);

}  // namespace koruvan::engine
