// The engine's DHT node: the deployer's switch and bootstrap list, the start with the
// first task (the node talks through the engine's UDP server), the stop with the last task
// and the deletion at engine clean-up.
#pragma once

#include <cstdint>
#include <string>

namespace koruvan::engine {

// The deployer's switch: off (the product's behaviour) clears the engine's DHT switch at the
// first task, so the node never starts; on keeps it set.
void SetDhtSwitch(bool on) noexcept;
[[nodiscard]] bool DhtSwitch() noexcept;
// "host:port[,host:port...]"; empty keeps the node without bootstrap endpoints.
void SetDhtBootstrapList(std::string list);

// First task: starts the node when the switch is set and the UDP server runs; true when the
// node runs afterwards.
bool StartEngineDht(bool udpServerRuns) noexcept;
// Last task: stops the node's thread (it saves its node file).
void StopEngineDht() noexcept;
// Engine clean-up: stops and deletes the node; false when there was none.
bool DeleteEngineDht() noexcept;
// Contacts in the running node's table; -1 when the node does not run.
[[nodiscard]] std::int32_t DhtTableSize() noexcept;

}  // namespace koruvan::engine
