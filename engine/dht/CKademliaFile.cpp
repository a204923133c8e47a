// The node file: "d2:id20:" ID "5:table" LEN ":" (26 bytes per contact) "e".
#include <string>

#include "engine/core/base/LockGuard.h"
#include "engine/dht/CKademlia.h"
#include "engine/peers/BencodeCodec.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

inline constexpr std::size_t kMaxNodeFileBytes = 3145728;

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The node file's tree when the file is loadable: 1 to 3 MiB, a dictionary, a 20-byte id.
// `content` keeps the bytes the tree points into.
std::unique_ptr<QElement> ReadNodeFile(const std::string& path, std::string& content) {
    if (path.empty() || !platform::ReadWholeFile(path, content) || content.empty() ||
        content.size() > kMaxNodeFileBytes) {
        return nullptr;
    }
    auto root = ParseBencode(content.data(), static_cast<std::int32_t>(content.size()));
    if (!root || root->Type() != kElementDictionary) {
        return nullptr;
    }
    const QElement* id = root->Find("id");
    if (id == nullptr || id->Type() != kElementString ||
        id->GetTextLength() != static_cast<std::int32_t>(kKadIdBytes)) {
        return nullptr;
    }
    return root;
}

const QElement* TableOf(const QElement& root) {
    const QElement* table = root.Find("table");
    return table != nullptr && table->Type() == kElementString ? table : nullptr;
}

}  // namespace

std::string CKademlia::DefaultNodeFilePath() {
    return platform::KoruvanDataRoot() + "/KoruvanKademlia.kad";
}

std::int32_t CKademlia::NodeFileContacts(const std::string& path) {
    std::string content;
    const auto root = ReadNodeFile(path, content);
    if (!root) {
        return -1;
    }
    const QElement* table = TableOf(*root);
    return table == nullptr
               ? 0
               : static_cast<std::int32_t>(table->GetText().size() / kCompactNodeBytes);
}

std::string CKademlia::NodeFileContent() const {
    std::string table;
    for (const KadNode& n : table_.AllContacts()) {
        AppendCompactNode(n, table);
    }
    return "d2:id20:" + OwnId().Bytes() + "5:table" + std::to_string(table.size()) + ":" + table +
           "e";
}

bool CKademlia::SaveNodeFile() {
    std::string path;
    {
        LockGuard guard(&ThreadLock(), true);
        path = nodeFilePath_;
    }
    if (path.empty()) {
        return false;
    }
    const std::string folder = FolderOf(path);
    if (!folder.empty() && !platform::CreateFolders(folder)) {
        return false;
    }
    // Written beside and renamed over the old file: a crash leaves the old table or the new.
    return platform::WriteFileAtomic(path, NodeFileContent());
}

bool CKademlia::LoadNodeFile() {
    std::string path;
    {
        LockGuard guard(&ThreadLock(), true);
        path = nodeFilePath_;
    }
    std::string content;
    const auto root = ReadNodeFile(path, content);
    if (!root) {
        return false;
    }
    table_.SetOwnId(KadNodeId::FromBytes(root->Find("id")->GetText()));
    if (const QElement* table = TableOf(*root)) {
        const std::uint32_t now = Seconds();
        for (const KadNode& n : ReadCompactNodes(table->GetText())) {
            table_.Insert(n, false, true, now);
        }
    }
    return true;
}

}  // namespace koruvan::engine
