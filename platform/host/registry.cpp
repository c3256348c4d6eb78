#include "platform/host/registry.h"

#include <cctype>

namespace host {

std::u16string Utf16FromAscii(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    for (unsigned char c : s) out.push_back(static_cast<char16_t>(c));
    return out;
}

std::string AsciiFromUtf16(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (char16_t c : s) out.push_back(static_cast<char>(c & 0xFF));
    return out;
}

std::string Registry::Fold(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

Registry& Registry::SetText(const std::string& keyword, const std::string& text) {
    Value v;
    v.kind = Value::Kind::kText;
    v.text = text;
    values_[Fold(keyword)] = {keyword, v};
    return *this;
}

Registry& Registry::SetAnsiText(const std::string& keyword, const std::string& text) {
    Value v;
    v.kind = Value::Kind::kAnsiText;
    v.text = text;
    values_[Fold(keyword)] = {keyword, v};
    return *this;
}

Registry& Registry::SetNumber(const std::string& keyword, std::uint32_t number) {
    Value v;
    v.kind = Value::Kind::kNumber;
    v.number = number;
    values_[Fold(keyword)] = {keyword, v};
    return *this;
}

Registry& Registry::Remove(const std::string& keyword) {
    values_.erase(Fold(keyword));
    return *this;
}

bool Registry::Has(const std::string& keyword) const { return values_.count(Fold(keyword)) != 0; }

const Registry::Value* Registry::Find(const std::string& keyword) const {
    auto it = values_.find(Fold(keyword));
    return it == values_.end() ? nullptr : &it->second.second;
}

std::vector<std::string> Registry::Keywords() const {
    std::vector<std::string> out;
    for (const auto& [folded, entry] : values_) out.push_back(entry.first);
    return out;
}

namespace {

bool ParseUnsigned(const std::string& text, unsigned base, std::uint32_t* out) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (base == 16 && i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    if (i >= text.size()) return false;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit >= base) return false;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

Registry::Read Registry::Get(const std::string& keyword, NDIS_PARAMETER_TYPE type) const {
    Read r;
    const Value* v = Find(keyword);
    if (v == nullptr) return r;
    switch (type) {
        case NdisParameterInteger:
        case NdisParameterHexInteger:
            if (v->kind == Value::Kind::kNumber) {
                r.integer = v->number;
                r.status = NDIS_STATUS_SUCCESS;
            } else if (ParseUnsigned(v->text, type == NdisParameterInteger ? 10 : 16, &r.integer)) {
                r.status = NDIS_STATUS_SUCCESS;
            }
            return r;
        case NdisParameterString:
            r.status = NDIS_STATUS_SUCCESS;
            if (v->kind == Value::Kind::kNumber) {
                r.text = Utf16FromAscii(std::to_string(v->number));
            } else if (v->kind == Value::Kind::kAnsiText) {
                r.ansi_form = true;
                r.ansi = v->text;
            } else {
                r.text = Utf16FromAscii(v->text);
            }
            return r;
        default:
            return r;
    }
}

std::optional<std::vector<std::uint8_t>> Registry::NetworkAddress() const {
    const Value* v = Find("NetworkAddress");
    if (v == nullptr || v->kind == Value::Kind::kNumber) return std::nullopt;
    std::string digits;
    for (char c : v->text) {
        if (c == '-' || c == ':') continue;
        digits.push_back(c);
    }
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        std::uint32_t byte;
        if (!ParseUnsigned(digits.substr(i, 2), 16, &byte)) return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
}

}  // namespace host
