// A home network made of three network namespaces that the test creates and always deletes:
// a LAN (the client, 192.168.77.2), a router between the LAN (192.168.77.1) and a WAN
// (203.0.113.1) running miniupnpd with its nftables backend, and a WAN host (203.0.113.2).
// Nothing reaches the machine's own network.
//
// The LAN uses a private range because a machine with a public address needs no mapping (the
// local-address rule counts the documentation ranges as public). miniupnpd in turn refuses
// to forward from an external address in a reserved range unless a STUN check finds no NAT
// in front of it: the WAN host answers that check (fixtures/stun_reply.py).
//
// The calling thread enters a namespace with Inside; sockets and threads made there stay
// there.
#pragma once

#include <string>

#include "support/LocalServer.h"
#include "support/TempDir.h"

namespace koruvan::test {

class UpnpNetwork {
  public:
    static constexpr const char* kLanClient = "192.168.77.2";
    static constexpr const char* kRouterWan = "203.0.113.1";
    static constexpr const char* kWanHost = "203.0.113.2";
    static constexpr const char* kRouterName = "Koruvan test router";

    // Root, ip, nft, miniupnpd and Debian's python3 are needed; the reason when not.
    static bool Available(std::string& why);

    // `withGateway`: miniupnpd runs in the router (otherwise the router only routes).
    explicit UpnpNetwork(bool withGateway);
    ~UpnpNetwork();
    UpnpNetwork(const UpnpNetwork&) = delete;
    UpnpNetwork& operator=(const UpnpNetwork&) = delete;

    // Whether everything came up; the reason when not.
    [[nodiscard]] bool Up(std::string& why) const;
    [[nodiscard]] std::string Lan() const { return name_ + "l"; }
    [[nodiscard]] std::string Router() const { return name_ + "r"; }
    [[nodiscard]] std::string Wan() const { return name_ + "w"; }
    // The router's nftables rules as `nft list ruleset` prints them.
    [[nodiscard]] std::string RouterRules() const;
    [[nodiscard]] std::string GatewayLog() const;

    // Moves the calling thread into a namespace for its lifetime, then back.
    class Inside {
      public:
        explicit Inside(const std::string& ns);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;
        [[nodiscard]] bool Entered() const { return entered_; }

      private:
        int home_ = -1;
        bool entered_ = false;
    };

  private:
    bool Build(bool withGateway);
    bool StartGateway();

    std::string name_;
    TempDir dir_;
    ChildProcess stun_;
    ChildProcess gateway_;
    std::string failure_;
};

}  // namespace koruvan::test
