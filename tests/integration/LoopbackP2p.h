// Engine-level tests that switch P2P on keep the P2P service on loopback: a loopback
// address other than 127.0.0.1 (refused as a peer identity) for the listener, outgoing
// peers and announces, and no multicast discovery, so that nothing leaves the host.
#pragma once

#include "engine/core/EngineApi.h"

namespace koruvan::test {

inline void KeepP2pOnLoopback(const char* address = "127.0.0.2") {
    (void)engine::SetBindAddress(address);
    engine::SetLanDiscovery(false);
}

}  // namespace koruvan::test
