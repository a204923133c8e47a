// A wake-up that poll() can wait on: an eventfd that turns readable when signalled and is
// emptied by Drain. The UDP server's loop waits on one beside its socket, so that a caller
// can hand it work before its next timer; a thread that waits on pseudo-sockets together
// with TCP sockets has one of its own, signalled when a pseudo-socket it waits for turns
// ready.
#pragma once

#include <memory>

namespace koruvan::engine {

class UdpWakeFd {
  public:
    UdpWakeFd() noexcept;
    ~UdpWakeFd();
    UdpWakeFd(const UdpWakeFd&) = delete;
    UdpWakeFd& operator=(const UdpWakeFd&) = delete;

    // The descriptor to poll for reading; -1 when none could be made.
    [[nodiscard]] int Fd() const noexcept { return fd_; }
    void Signal() noexcept;
    void Drain() noexcept;

  private:
    int fd_;
};

// The calling thread's own wake-up (made on first use, kept until the thread ends; holders
// elsewhere keep it open while they may still signal it).
const std::shared_ptr<UdpWakeFd>& ThreadUdpWake() noexcept;

}  // namespace koruvan::engine
