// The engine's flat call interface. Plain values, fixed-size records and opaque handles go
// in; signed status codes come out (TaskRecords.h). Every call serialises on the engine
// call lock and runs task code inside a catch-all: no exception leaves the engine.
#pragma once

#include <cstdint>

#include "engine/core/TaskRecords.h"

namespace koruvan::engine {

std::int32_t EngineStartup(const char* workFolder) noexcept;
std::int32_t EngineCleanup() noexcept;

std::int32_t CreateTask(TaskDescriptor* descriptor) noexcept;
std::int32_t CreateAndStartTask(TaskDescriptor* descriptor) noexcept;
std::int32_t RecoverTask(TaskDescriptor* descriptor, bool force) noexcept;
std::int32_t RecoverAndContinueTask(TaskDescriptor* descriptor, bool force) noexcept;
// The same with what the caller knows before the start. A task without metainfo is laid
// out at the expected size from its start instead of taking the first size a source
// reports, so that a source reporting another size is a failing source; the limit holds
// from the first second rather than from the first SetTaskSpeedLimit.
std::int32_t CreateAndStartTask(TaskDescriptor* descriptor,
                                const TaskStartOptions& options) noexcept;
std::int32_t RecoverAndContinueTask(TaskDescriptor* descriptor, bool force,
                                    const TaskStartOptions& options) noexcept;

std::int32_t StopTask(TaskHandle handle, bool reset) noexcept;
std::int32_t StopTasks(const TaskHandle* handles, std::int32_t count, bool reset,
                       std::int32_t* results) noexcept;
std::int32_t RestartTask(TaskHandle handle) noexcept;

std::int32_t QueryTask(TaskHandle handle, TaskProgress* progress) noexcept;
std::int32_t IsTaskComplete(TaskHandle handle, std::int32_t* done) noexcept;
// Why a task gets nothing: the last source failure since payload last arrived, as a text
// for the user ("HTTP 403 from 127.0.0.1:8080"), empty while data flows. Copies at most
// size - 1 bytes and a terminating zero; returns the text's full length, or -106 / -107.
std::int32_t QueryTaskProblem(TaskHandle handle, char* buffer, std::int32_t size) noexcept;
std::int32_t SetTaskSpeedLimit(TaskHandle handle, std::int32_t which,
                               std::int32_t kibPerSecond) noexcept;
std::int32_t SetTaskConnectionLimits(TaskHandle handle, std::int32_t maxWebSources,
                                     std::int32_t maxPeers) noexcept;
std::int32_t GetTaskBitfieldSize(TaskHandle handle) noexcept;
std::int32_t GetTaskBitfield(TaskHandle handle, void* buffer, std::int32_t size) noexcept;
std::int32_t SetTaskSourceLists(TaskHandle handle, const char* listA, const char* listB) noexcept;
std::int32_t ClearTaskSourceLists(TaskHandle handle) noexcept;

std::int32_t SetListenPort(std::int32_t port) noexcept;
std::int32_t EnableP2P(bool on) noexcept;
void SetBtPeerFlag(std::int32_t value) noexcept;

// The local IPv4 address (dotted text) of the P2P listener, outgoing peer connections,
// tracker announces and the local-discovery multicast interface; null or "" returns to the
// system's choice. 0, or kErrNullDescriptor for text that is not a dotted IPv4 address (the
// setting is then unchanged). A running listener moves to the new address at its next
// upkeep. With a loopback address no discovery datagram leaves the host.
std::int32_t SetBindAddress(const char* dottedIpv4) noexcept;
// Multicast discovery of peers of the same download on the local network (default on).
void SetLanDiscovery(bool on) noexcept;
// Loads the engine's IP filter file (lines "START-END LEVEL ..."); peers at a blocked
// address are refused, incoming and outgoing, by every task from its next round on.
// Returns the number of ranges loaded (>= 0), or -1 when the file cannot be read (the
// filter is then empty); null clears the filter and returns 0.
std::int32_t LoadIpFilter(const char* path) noexcept;
// The task's swarm figures (TaskRecords.h): kOk, kErrNullDescriptor, kErrUnknownHandle.
std::int32_t QueryTaskSwarm(TaskHandle handle, TaskSwarm* out) noexcept;

// Seeding. A task with metainfo (a P2SP or BitTorrent task) does not end when its last
// piece is in: it stays running, keeps its listener registration and serves the pieces to
// peers while P2P is enabled (EnableP2P), for up to the task's seeding time (12 hours). To
// seed files that are already complete, recover the task over them
// (RecoverAndContinueTask, with kFlagTrustExisting when no resume record says they are
// complete). IsTaskComplete reports 1 throughout; QueryTaskSwarm shows the peers and the
// upload. SetTaskSpeedLimit(handle, kLimitUpload, kib) limits the upload (0 = none), and
// StopTask ends the seeding.
// UDP transport: start-up values taken when the first task starts the UDP server. The
// rendezvous server (host name or dotted address, port 1..65535); without one the server
// is not started. The local UDP port (0: the default 8000). kOk, or -1 for bad values.
std::int32_t SetRendezvousServer(const char* host, std::int32_t port) noexcept;
std::int32_t SetUdpPort(std::int32_t port) noexcept;

// Bytes available to the caller on the volume of an absolute path; 0 for a relative path
// or on failure.
std::uint64_t GetDiskFreeBytes(const char* path) noexcept;
// Disk space a target really holds (path, else path + ".kvtmp"); 0 when neither exists,
// -1 on other errors.
std::int64_t GetFileAllocatedBytes(const char* path) noexcept;

// The DHT node, for deployers (the product keeps it off): on keeps the engine's DHT switch
// set at the first task, which then starts the node on the UDP server's socket. The
// bootstrap endpoints are "host:port[,host:port...]". kOk.
std::int32_t SetDhtEnabled(bool on) noexcept;
std::int32_t SetDhtBootstrap(const char* list) noexcept;
// Contacts in the running node's routing table; -1 when the node does not run.
std::int32_t QueryDhtTableSize() noexcept;
// Contacts a DHT node file holds (the node's table as last saved, by a process that may
// have ended); -1 when the file cannot be read as a node file. A null path means the
// node file of this process's data folder.
std::int32_t QueryDhtNodeFile(const char* path) noexcept;

}  // namespace koruvan::engine
