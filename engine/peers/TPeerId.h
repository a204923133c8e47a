// The identity of one remote party a task knows: a web source, a BitTorrent peer or a
// tracker. Identities are shared by reference count between the candidate list and the
// peers connected to them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/base/TRefObject.h"
#include "engine/peers/SourceUrl.h"

namespace koruvan::engine {

// Rarely used details, created on first use.
struct TPeerIdDetails {
    bool metainfoSource = false;
    bool excluded = false;
    std::int32_t failedPieces = 0;
    std::vector<std::uint32_t> addresses;  // further addresses of the host, network order
    std::uint64_t remoteSize = 0;          // file size reported by a web source, 0 = unknown
    std::string requestHost;               // host name to send in requests (extra list B)
    std::string metainfo;                  // metainfo received from a BitTorrent peer
    std::string urlPath;
    std::string fileName;
    std::string url;   // the source URL as it is sent (backslashes turned, bytes escaped)
    std::string user;  // FTP login
    std::string password;
    std::string query;  // trackers: the announce URL's query (after "?")
    bool udpTracker = false;
    // Web sources: the request's Referer text, the in-memory document (a metainfo source
    // fetches its whole document into memory) and whether it is complete, and redirects.
    std::string referer;
    std::string memory;
    bool done = false;
    bool redirected = false;
    std::string lastRedirect;
    std::int32_t redirectCount = 0;
    // The server answered a ranged request with the whole file: used only near byte 0.
    bool rangesIgnored = false;
};

class TPeerId final : public TRefObject {
  public:
    explicit TPeerId(std::string text, std::int32_t priority = 0)
        : text(std::move(text)), priority(priority) {}

    // Splits the address text into kind, host, port and path; false when it does not parse.
    // Name resolution is not part of this step (ParseSourceUrl in SourceUrl.h resolves too).
    bool Parse();
    // Takes kind, host, port and the web-source and tracker texts of a split URL.
    void TakeSourceUrl(const SourceUrl& split);

    TPeerIdDetails& Details();
    const TPeerIdDetails* DetailsIfAny() const noexcept { return details_.get(); }
    bool IsWebSource() const noexcept { return (kind & kKindWebSource) != 0; }
    // A copy for another list: the same party with fresh counters.
    TPeerId* Clone() const;

    std::string text;  // URL, "tracker://" + announce URL, or "node://" + address
    std::int32_t priority = 0;
    std::int32_t kind = 0;
    bool parsed = false;
    bool resolved = false;
    bool resolutionFailed = false;  // the host name did not resolve
    bool fatal = false;
    bool torrentSource = false;
    std::uint32_t ip = 0;  // network order
    std::uint16_t port = 0;
    std::string host;
    std::int32_t backOff = 0;
    std::int32_t failures = 0;
    std::int32_t activeConnections = 0;
    std::int32_t piecesDelivered = 0;
    std::int32_t connectionsMade = 0;
    std::int32_t maxConnections = 1;
    std::array<std::uint8_t, 20> peerId{};
    std::uint64_t lastConnectTime = 0;
    // BitTorrent: no outgoing TCP dial to it has failed since its last handshake. Only a
    // party that TCP could not reach is tried over the UDP transport.
    bool directlyConnectable = true;
    // BitTorrent: this party dropped our disguised handshake without answering it (a client
    // that speaks only the standard protocol): it is dialled with the plain handshake from
    // then on.
    bool plainHandshake = false;

  private:
    ~TPeerId() override = default;
    std::unique_ptr<TPeerIdDetails> details_;
};

// Candidate order: null entries last; then priority (higher first), pieces delivered (more
// first), failures (fewer first), connections made (fewer first), back-off (smaller first).
bool CandidateBefore(const TPeerId* a, const TPeerId* b) noexcept;

}  // namespace koruvan::engine
