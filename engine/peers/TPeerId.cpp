#include "engine/peers/TPeerId.h"

namespace koruvan::engine {

bool TPeerId::Parse() {
    const auto split = SplitSourceUrl(text);
    if (!split) {
        parsed = false;
        return false;
    }
    TakeSourceUrl(*split);
    parsed = true;
    return true;
}

void TPeerId::TakeSourceUrl(const SourceUrl& split) {
    kind = split.kind;
    host = split.host;
    port = split.port;
    if (kind == kKindHttp || kind == kKindFtp || kind == kKindTracker) {
        TPeerIdDetails& details = Details();
        details.url = split.url;
        details.urlPath = split.path;
        details.fileName = split.fileName;
        details.user = split.user;
        details.password = split.password;
        details.query = split.query;
        details.udpTracker = split.udpTracker;
    }
}

TPeerIdDetails& TPeerId::Details() {
    if (!details_) {
        details_ = std::make_unique<TPeerIdDetails>();
    }
    return *details_;
}

TPeerId* TPeerId::Clone() const {
    auto* copy = new TPeerId(text, priority);
    copy->kind = kind;
    copy->parsed = parsed;
    copy->resolved = resolved;
    copy->resolutionFailed = resolutionFailed;
    copy->fatal = fatal;
    copy->torrentSource = torrentSource;
    copy->ip = ip;
    copy->port = port;
    copy->host = host;
    copy->maxConnections = maxConnections;
    copy->peerId = peerId;
    copy->plainHandshake = plainHandshake;
    if (details_) {
        copy->details_ = std::make_unique<TPeerIdDetails>(*details_);
    }
    return copy;
}

bool CandidateBefore(const TPeerId* a, const TPeerId* b) noexcept {
    if (a == nullptr || b == nullptr) {
        return a != nullptr && b == nullptr;
    }
    if (a->priority != b->priority)
        return a->priority > b->priority;
    if (a->piecesDelivered != b->piecesDelivered)
        return a->piecesDelivered > b->piecesDelivered;
    if (a->failures != b->failures)
        return a->failures < b->failures;
    if (a->connectionsMade != b->connectionsMade)
        return a->connectionsMade < b->connectionsMade;
    return a->backOff < b->backOff;
}

}  // namespace koruvan::engine
