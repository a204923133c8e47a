// A power cut for the storage layer, as a storage observer: it keeps what every changed
// file held at its last flush and which renames are not yet made durable by a flush of
// their folder (and which new files have no lasting name yet). From the cut on, every storage
// operation fails (the machine is off); Apply() then puts the disk back the way a power cut leaves
// it: unflushed data and unflushed renames are gone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/core/StorageObserver.h"
#include "support/TempDir.h"

namespace koruvan::test {

class PowerCutJournal final : public engine::StorageObserver {
  public:
    // Cuts the power at operation `cutAt` (1 = the first); 0 never cuts.
    explicit PowerCutJournal(std::uint64_t cutAt = 0) : cutAt_(cutAt) {
        engine::SetStorageObserver(this);
    }
    ~PowerCutJournal() { engine::SetStorageObserver(nullptr); }
    PowerCutJournal(const PowerCutJournal&) = delete;
    PowerCutJournal& operator=(const PowerCutJournal&) = delete;

    bool Before(engine::StorageOp op, const std::string& path, const std::string& to) override {
        if (dead_ || ++operations_ == cutAt_) {
            dead_ = true;
            return false;
        }
        if (op == engine::StorageOp::kWrite && unflushed_.count(path) == 0) {
            unflushed_[path] = Content(path);
            if (!unflushed_[path]) {
                created_.insert(path);  // its name lasts only once its folder is flushed
            }
        } else if (op == engine::StorageOp::kRename) {
            replaced_ = Content(to);
        }
        return true;
    }

    void After(engine::StorageOp op, const std::string& path, const std::string& to) override {
        switch (op) {
            case engine::StorageOp::kWrite:
                break;
            case engine::StorageOp::kFlush:
                unflushed_.erase(path);
                break;
            case engine::StorageOp::kRename:
                renames_.push_back({path, to, replaced_});
                MoveKey(path, to);
                break;
            case engine::StorageOp::kFolderFlush:
                std::erase_if(renames_, [&](const Rename& r) {
                    return std::filesystem::path(r.to).parent_path() == path;
                });
                std::erase_if(created_, [&](const std::string& p) {
                    return std::filesystem::path(p).parent_path() == path;
                });
                break;
        }
    }

    // Cuts the power at operation `op` instead.
    void CutAt(std::uint64_t op) noexcept { cutAt_ = op; }
    [[nodiscard]] bool Dead() const noexcept { return dead_; }
    [[nodiscard]] std::uint64_t Operations() const noexcept { return operations_; }

    // The disk after the cut: unflushed renames undone (newest first), unflushed files back
    // to what they held at their last flush (or gone when they did not exist then).
    void Apply() {
        for (auto r = renames_.rbegin(); r != renames_.rend(); ++r) {
            std::error_code ignored;
            std::filesystem::rename(r->to, r->from, ignored);
            Restore(r->to, r->replaced);
            MoveKey(r->to, r->from);
        }
        for (const auto& [path, content] : unflushed_) {
            Restore(path, content);
        }
        for (const std::string& path : created_) {
            Restore(path, std::nullopt);
        }
        renames_.clear();
        unflushed_.clear();
        created_.clear();
    }

  private:
    struct Rename {
        std::string from;
        std::string to;
        std::optional<std::string> replaced;  // what `to` held before
    };

    static std::optional<std::string> Content(const std::string& path) {
        if (!std::filesystem::is_regular_file(path)) {
            return std::nullopt;
        }
        return ReadFile(path);
    }
    static void Restore(const std::string& path, const std::optional<std::string>& content) {
        if (content) {
            WriteFile(path, *content);
        } else {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    }
    void MoveKey(const std::string& from, const std::string& to) {
        if (created_.erase(from) > 0) {
            created_.insert(to);
        }
        if (auto it = unflushed_.find(from); it != unflushed_.end()) {
            unflushed_[to] = std::move(it->second);
            unflushed_.erase(it);
        }
    }

    std::uint64_t cutAt_ = 0;
    std::uint64_t operations_ = 0;
    bool dead_ = false;
    std::map<std::string, std::optional<std::string>> unflushed_;
    std::vector<Rename> renames_;
    std::set<std::string> created_;  // files made since their folder was last flushed
    std::optional<std::string> replaced_;
};

}  // namespace koruvan::test
