// Helpers for connection tests on 127.0.0.1: a scripted server that accepts one connection
// on a thread of its own, and blocking read/write helpers built on TPeerConnection itself.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "engine/peers/IpAddress.h"
#include "engine/peers/TPeerConnection.h"
#include "support/LocalServer.h"

namespace koruvan::test {

inline constexpr std::uint32_t kLoopback = engine::HostToNet32(0x7F000001);

// Polls cond every millisecond until it holds or limit passes.
template <class Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline std::string Text(const engine::TPeerConnection& c) {
    return std::string(reinterpret_cast<const char*>(c.Data()),
                       static_cast<std::size_t>(c.DataSize()));
}

inline const std::uint8_t* Bytes(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

// Receives until at least n bytes are held (or the connection ends / time runs out); the
// bytes held are returned and consumed.
inline std::string ReadAtLeast(engine::TPeerConnection& c, std::size_t n,
                               std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    WaitUntil(
        [&] {
            const std::int32_t r = c.Receive();
            return r < 0 || static_cast<std::size_t>(c.DataSize()) >= n;
        },
        limit);
    std::string out = Text(c);
    c.Consume(-1);
    return out;
}

// Sends all bytes (flushing the queue) within the limit.
inline bool WriteAll(engine::TPeerConnection& c, std::string_view bytes,
                     std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    if (c.Send(Bytes(bytes), static_cast<std::int32_t>(bytes.size())) < 0) {
        return false;
    }
    return WaitUntil([&] { return c.Flush() < 0 || c.PendingSend() == 0; }, limit) && c.IsOpen();
}

// Listens on a free loopback port and runs script on the first accepted connection, on a
// thread of its own. The destructor waits for the script.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::function<void(engine::TPeerConnection&)> script) {
        for (int attempt = 0; attempt < 20 && !listener_.Listening(); ++attempt) {
            port_ = static_cast<std::uint16_t>(FreeTcpPort());
            (void)listener_.Listen(port_, kLoopback);
        }
        thread_ = std::thread([this, script = std::move(script)] {
            std::unique_ptr<engine::TPeerConnection> accepted;
            WaitUntil([&] { return (accepted = listener_.Accept()) != nullptr || stop_; },
                      std::chrono::seconds(10));
            if (accepted) {
                script(*accepted);
            }
        });
    }
    ~ScriptedServer() {
        stop_ = true;
        Join();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Waits until the script has run (or no connection came).
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    std::uint16_t Port() const { return port_; }
    bool Listening() const { return listener_.Listening(); }

  private:
    engine::TPeerConnection listener_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace koruvan::test
