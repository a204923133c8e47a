#include "engine/peers/MetainfoLayout.h"

#include <limits>
#include <set>

namespace koruvan::engine {
namespace {

constexpr std::size_t kPieceHashSize = 20;

// A name or path component must stay inside the target folder: no "." or "..", no
// separator and no NUL (which would cut the path short when the file is opened).
bool IsSafeComponent(std::string_view c) noexcept {
    return c != "." && c != ".." && c.find('/') == std::string_view::npos &&
           c.find('\0') == std::string_view::npos;
}

bool EndsWith(std::string_view s, std::string_view tail) noexcept {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool ReadPieces(const QElement& info, MetainfoLayout& out) {
    const QElement* pieceLength = info.Find("piece length");
    const std::int64_t length = pieceLength != nullptr ? pieceLength->GetInteger() : 0;
    if (length <= 0 || length > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    const QElement* pieces = info.Find("pieces");
    if (pieces == nullptr || pieces->Type() != kElementString) {
        return false;
    }
    const std::string_view hashes = pieces->GetText();
    if (hashes.size() < kPieceHashSize || hashes.size() % kPieceHashSize != 0) {
        return false;
    }
    out.pieceLength = static_cast<std::int32_t>(length);
    out.pieceHashes.assign(hashes);
    out.pieceCount = hashes.size() / kPieceHashSize;
    return true;
}

bool BuildSingleFile(const QElement& lengthElement, std::string_view targetFile,
                     MetainfoLayout& out) {
    if (out.name.empty()) {
        out.name = kUnnamedFileName;
    }
    const std::int64_t length = lengthElement.GetInteger();
    if (length <= 0) {
        return false;
    }
    MetainfoFile file;
    file.fullPath = targetFile.empty() ? out.targetFolder + out.name : std::string(targetFile);
    file.relativeName = out.name;
    file.size = static_cast<std::uint64_t>(length);
    out.files.push_back(std::move(file));
    out.totalSize = static_cast<std::uint64_t>(length);
    return true;
}

enum class EntryResult { kFile, kFolder, kStop, kRefuse };

// One entry of "files": a file record, a folder entry, the end of the walk, or a refusal
// of the whole metainfo (unsafe path).
EntryResult ReadEntry(const QElement* entry, std::string_view prefix, MetainfoFile& file) {
    if (entry == nullptr || entry->ValidType() != kElementDictionary || entry->Count() == 0) {
        return EntryResult::kStop;
    }
    const QElement* length = entry->Find("length");
    const QElement* path = entry->Find("path");
    if (length == nullptr || path == nullptr || length->GetInteger() < 0 ||
        path->ValidType() != kElementList || path->Count() == 0) {
        return EntryResult::kStop;
    }
    std::string relative(prefix);
    for (std::int32_t i = 0; i < path->Count(); ++i) {
        const std::string component = path->At(i)->ConvertedText();
        if (!IsSafeComponent(component)) {
            return EntryResult::kRefuse;
        }
        if (i > 0) {
            relative.push_back('/');
        }
        relative.append(component);
    }
    // An empty first component with no folder in front would make the path absolute.
    if (!relative.empty() && relative.front() == '/') {
        return EntryResult::kRefuse;
    }
    file.relativeName = std::move(relative);
    file.size = static_cast<std::uint64_t>(length->GetInteger());
    if (file.relativeName.empty() || file.relativeName.back() == '/') {
        return file.size == 0 ? EntryResult::kFolder : EntryResult::kStop;
    }
    return EntryResult::kFile;
}

bool BuildMultiFile(const QElement& info, MetainfoLayout& out) {
    // The files live in a folder named after the download. Without a name they go into
    // the target folder itself (never "/" + path, which would be absolute).
    const std::string prefix = out.name.empty() ? std::string() : out.name + "/";
    // A target folder that already ends with the download's own folder loses it, so that
    // the files do not land in "Name/Name/". Only a whole trailing component counts.
    if (!prefix.empty() && EndsWith(out.targetFolder, prefix) &&
        (out.targetFolder.size() == prefix.size() ||
         out.targetFolder[out.targetFolder.size() - prefix.size() - 1] == '/')) {
        out.targetFolder.resize(out.targetFolder.size() - prefix.size());
    }
    const QElement* files = info.Find("files");
    if (files == nullptr || files->ValidType() != kElementList || files->Count() == 0) {
        return false;
    }
    std::set<std::string> seen;
    for (std::int32_t i = 0; i < files->Count(); ++i) {
        MetainfoFile file;
        const EntryResult result = ReadEntry(files->At(i), prefix, file);
        if (result == EntryResult::kRefuse) {
            return false;
        }
        if (result == EntryResult::kStop) {
            break;
        }
        if (result == EntryResult::kFolder) {
            out.folders.push_back(out.targetFolder + file.relativeName);
            continue;
        }
        if (!seen.insert(file.relativeName).second ||
            file.size > std::numeric_limits<std::uint64_t>::max() - out.totalSize) {
            return false;  // the same file twice, or sizes beyond 64 bits
        }
        file.fullPath = out.targetFolder + file.relativeName;
        file.index = static_cast<std::int32_t>(out.files.size());
        file.offset = out.totalSize;
        file.firstPiece = file.offset / static_cast<std::uint64_t>(out.pieceLength);
        out.totalSize += file.size;
        out.files.push_back(std::move(file));
    }
    return !out.files.empty();
}

}  // namespace

bool BuildMetainfoLayout(const QElement* info, std::string_view targetFolder,
                         std::string_view targetFile, MetainfoLayout& out) {
    out = MetainfoLayout{};
    if (info == nullptr || info->ValidType() != kElementDictionary) {
        return false;
    }
    const QElement* name = info->Find("name");
    out.name = name != nullptr ? name->ConvertedText() : std::string();
    if (!IsSafeComponent(out.name) || !ReadPieces(*info, out)) {
        return false;
    }
    out.targetFolder.assign(targetFolder);
    // Insert a separator only when the folder does not end with one; an empty folder
    // stays empty (paths relative to the working folder) rather than becoming the root.
    if (!out.targetFolder.empty() && out.targetFolder.back() != '/') {
        out.targetFolder.push_back('/');
    }
    if (const QElement* length = info->Find("length")) {
        return BuildSingleFile(*length, targetFile, out);
    }
    out.multiFile = true;
    return BuildMultiFile(*info, out);
}

}  // namespace koruvan::engine
