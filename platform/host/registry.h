// The adapter's registry parameters as the host hands them to the driver.
//
// A value is stored the way the registry holds it: as text (REG_SZ, the form
// an INF writes) or as a number (REG_DWORD). Reading converts like NDIS does:
// text read as an integer is parsed in decimal, as a hex integer in
// hexadecimal; a number read as a string comes back as decimal text. Keyword
// names match without regard to letter case. A keyword that is absent, or
// whose text does not parse, fails the read.
#ifndef MIREL_PLATFORM_HOST_REGISTRY_H
#define MIREL_PLATFORM_HOST_REGISTRY_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace host {

class Registry {
  public:
    struct Value {
        enum class Kind { kText, kNumber, kAnsiText } kind = Kind::kText;
        std::string text;          // kText, kAnsiText (8-bit characters)
        std::uint32_t number = 0;  // kNumber
    };

    Registry& SetText(const std::string& keyword, const std::string& text);
    Registry& SetNumber(const std::string& keyword, std::uint32_t number);
    // Some older systems hand string parameters over as 8-bit text with a
    // terminating NUL counted in the length; this stores such a value.
    Registry& SetAnsiText(const std::string& keyword, const std::string& text);
    Registry& Remove(const std::string& keyword);
    bool Has(const std::string& keyword) const;
    const Value* Find(const std::string& keyword) const;
    std::vector<std::string> Keywords() const;

    // NdisReadNetworkAddress: the "NetworkAddress" value as 12 hex digits.
    // Anything else (missing, odd, bad digits) makes the read fail.
    Registry& SetNetworkAddress(const std::string& hex) { return SetText("NetworkAddress", hex); }

    // How an NdisReadConfiguration of `type` would turn out.
    struct Read {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        std::uint32_t integer = 0;
        std::u16string text;        // UTF-16 form (no terminator)
        std::string ansi;           // 8-bit form, when the value is kAnsiText
        bool ansi_form = false;
    };
    Read Get(const std::string& keyword, NDIS_PARAMETER_TYPE type) const;
    std::optional<std::vector<std::uint8_t>> NetworkAddress() const;

  private:
    static std::string Fold(const std::string& s);
    std::map<std::string, std::pair<std::string, Value>> values_;  // folded -> (name, value)
};

std::u16string Utf16FromAscii(const std::string& s);
std::string AsciiFromUtf16(const std::u16string& s);

}  // namespace host

#endif  // MIREL_PLATFORM_HOST_REGISTRY_H
