// A fresh temporary folder per test, removed with everything in it at the end.
#pragma once

#include <string>

namespace koruvan::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    // Path of a name inside the folder.
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Replaces a file's content; throws on failure (tests only).
void WriteFile(const std::string& path, const std::string& content);

}  // namespace koruvan::test
