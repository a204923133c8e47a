#include "platform/CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <string>

namespace koruvan::platform {
namespace {

constexpr const char* kSystemCharset = "UTF-8";

// The converter names to try for a code page, best match for the Windows table first.
// CP932 (not plain SHIFT_JIS) keeps 0x5C a backslash and 0x7E a tilde, as Windows does.
struct CodePageNames {
    int codePage;
    std::array<const char*, 3> names;
};

constexpr std::array<CodePageNames, 5> kKnownNames{{
    {kCodePageShiftJis, {"CP932", "SHIFT_JIS", nullptr}},
    {kCodePageGbk, {"CP936", "GBK", "GB18030"}},
    {kCodePageKorean, {"CP949", "UHC", "EUC-KR"}},
    {kCodePageBig5, {"CP950", "BIG5", nullptr}},
    {kCodePageUtf8, {"UTF-8", nullptr, nullptr}},
}};

// Owns one conversion descriptor.
class Converter {
  public:
    explicit Converter(int codePage) {
        if (codePage <= 0) {
            return;
        }
        for (const CodePageNames& entry : kKnownNames) {
            if (entry.codePage != codePage) {
                continue;
            }
            for (const char* name : entry.names) {
                if (name != nullptr && Open(name)) {
                    return;
                }
            }
            return;
        }
        // Other Windows code pages (1250-1258, 874, 437, ...) go by their "CP" name.
        const std::string name = "CP" + std::to_string(codePage);
        (void)Open(name.c_str());
    }
    ~Converter() {
        if (Valid()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    [[nodiscard]] bool Valid() const noexcept { return cd_ != Invalid(); }

    // Converts the whole input; false on any invalid or incomplete sequence.
    [[nodiscard]] bool Run(std::string_view bytes, std::string& out) {
        out.assign(bytes.size() * 2 + 16, '\0');
        std::size_t used = 0;
        // iconv's interface takes a non-const input pointer but never writes through it.
        char* in = const_cast<char*>(bytes.data());
        std::size_t inLeft = bytes.size();
        Outcome step = Outcome::kRoomNeeded;
        while (inLeft > 0 && step != Outcome::kError) {
            step = Step(&in, &inLeft, out, used);
        }
        // Then flush a pending shift state (stateful encodings only).
        while (step != Outcome::kError) {
            step = Step(nullptr, nullptr, out, used);
            if (step == Outcome::kDone) {
                out.resize(used);
                return true;
            }
        }
        return false;  // EILSEQ (invalid sequence) or EINVAL (truncated at the end)
    }

  private:
    enum class Outcome { kDone, kRoomNeeded, kError };

    static iconv_t Invalid() noexcept { return reinterpret_cast<iconv_t>(-1); }

    // One iconv call into the free room of `out`; grows `out` when it ran out of room.
    Outcome Step(char** in, std::size_t* inLeft, std::string& out, std::size_t& used) {
        char* dst = out.data() + used;
        std::size_t dstLeft = out.size() - used;
        const std::size_t rc = iconv(cd_, in, inLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (rc != static_cast<std::size_t>(-1)) {
            return Outcome::kDone;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            return Outcome::kRoomNeeded;
        }
        return Outcome::kError;
    }

    bool Open(const char* name) noexcept {
        cd_ = iconv_open(kSystemCharset, name);
        return Valid();
    }

    iconv_t cd_ = Invalid();
};

}  // namespace

bool ConvertToSystemCodePage(int codePage, std::string_view bytes, std::string& out) {
    out.clear();
    Converter converter(codePage);
    if (!converter.Valid()) {
        return false;
    }
    if (bytes.empty()) {
        return true;
    }
    if (!converter.Run(bytes, out)) {
        out.clear();
        return false;
    }
    return true;
}

bool IsCodePageSupported(int codePage) {
    const Converter converter(codePage);
    return converter.Valid();
}

}  // namespace koruvan::platform
