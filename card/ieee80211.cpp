#include "card/ieee80211.h"

#include <algorithm>
#include <cstdio>

namespace wifi {

const std::uint8_t kSnapRfc1042[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
const std::uint8_t kSnapBridgeTunnel[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};
const std::uint8_t kSnapVendor[6] = {0xAA, 0xAA, 0x03, 0x02, 0x4B, 0x7E};

std::string MacText(const Mac& m) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return buf;
}

bool IsGroup(const Mac& mac) { return (mac[0] & 1) != 0; }

Mac Header::Destination() const { return to_ds() && !from_ds() ? addr3 : addr1; }
Mac Header::Source() const { return from_ds() && !to_ds() ? addr3 : addr2; }
Mac Header::Bssid() const {
    if (to_ds() && !from_ds()) return addr1;
    if (from_ds() && !to_ds()) return addr2;
    return addr3;
}

namespace {
void Put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
}  // namespace

Bytes Build(const Header& h, const Bytes& body) {
    Bytes f;
    f.reserve(kHeaderSize + body.size());
    Put16(f, h.frame_control);
    Put16(f, h.duration);
    f.insert(f.end(), h.addr1.begin(), h.addr1.end());
    f.insert(f.end(), h.addr2.begin(), h.addr2.end());
    f.insert(f.end(), h.addr3.begin(), h.addr3.end());
    Put16(f, h.sequence_control);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

std::optional<std::pair<Header, Bytes>> Parse(const Bytes& f) {
    if (f.size() < kHeaderSize) return std::nullopt;
    Header h;
    h.frame_control = Get16(&f[0]);
    h.duration = Get16(&f[2]);
    std::copy(f.begin() + 4, f.begin() + 10, h.addr1.begin());
    std::copy(f.begin() + 10, f.begin() + 16, h.addr2.begin());
    std::copy(f.begin() + 16, f.begin() + 22, h.addr3.begin());
    h.sequence_control = Get16(&f[22]);
    return std::make_pair(h, Bytes(f.begin() + kHeaderSize, f.end()));
}

Bytes Encapsulate(std::uint16_t type, const Bytes& payload) {
    const std::uint8_t* snap = (type == kEtherTypeIpx || type == kEtherTypeAarp) ? kSnapBridgeTunnel : kSnapRfc1042;
    if (type == kEtherTypeVendor) snap = kSnapVendor;
    Bytes b(snap, snap + 6);
    b.push_back(static_cast<std::uint8_t>(type >> 8));
    b.push_back(static_cast<std::uint8_t>(type & 0xFF));
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

std::optional<std::pair<std::uint16_t, Bytes>> Decapsulate(const Bytes& body) {
    if (body.size() < 8 || body[0] != 0xAA || body[1] != 0xAA || body[2] != 0x03) return std::nullopt;
    std::uint16_t type = static_cast<std::uint16_t>(body[6] << 8 | body[7]);
    return std::make_pair(type, Bytes(body.begin() + 8, body.end()));
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

Bytes Rc4(const Bytes& seed, const Bytes& data) {
    std::uint8_t s[256];
    for (int i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
    std::uint8_t j = 0;
    for (int i = 0; i < 256; ++i) {
        j = static_cast<std::uint8_t>(j + s[i] + seed[static_cast<std::size_t>(i) % seed.size()]);
        std::swap(s[i], s[j]);
    }
    Bytes out(data.size());
    std::uint8_t a = 0, b = 0;
    for (std::size_t n = 0; n < data.size(); ++n) {
        a = static_cast<std::uint8_t>(a + 1);
        b = static_cast<std::uint8_t>(b + s[a]);
        std::swap(s[a], s[b]);
        out[n] = data[n] ^ s[static_cast<std::uint8_t>(s[a] + s[b])];
    }
    return out;
}

Bytes WepEncrypt(const Bytes& key, std::uint32_t iv, int key_index, const Bytes& plaintext) {
    Bytes seed = {static_cast<std::uint8_t>(iv & 0xFF), static_cast<std::uint8_t>((iv >> 8) & 0xFF),
                  static_cast<std::uint8_t>((iv >> 16) & 0xFF)};
    seed.insert(seed.end(), key.begin(), key.end());
    Bytes data = plaintext;
    std::uint32_t icv = Crc32(plaintext.data(), plaintext.size());
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(icv >> (8 * i)));
    Bytes out(seed.begin(), seed.begin() + 3);
    out.push_back(static_cast<std::uint8_t>((key_index & 3) << 6));
    Bytes cipher = Rc4(seed, data);
    out.insert(out.end(), cipher.begin(), cipher.end());
    return out;
}

std::optional<Bytes> WepDecrypt(const std::array<Bytes, 4>& keys, const Bytes& body, int* key_index) {
    if (body.size() < 8) return std::nullopt;
    int index = body[3] >> 6;
    if (key_index != nullptr) *key_index = index;
    const Bytes& key = keys[static_cast<std::size_t>(index)];
    if (key.empty()) return std::nullopt;
    Bytes seed(body.begin(), body.begin() + 3);
    seed.insert(seed.end(), key.begin(), key.end());
    Bytes plain = Rc4(seed, Bytes(body.begin() + 4, body.end()));
    std::uint32_t icv = 0;
    for (int i = 0; i < 4; ++i) icv |= static_cast<std::uint32_t>(plain[plain.size() - 4 + static_cast<std::size_t>(i)]) << (8 * i);
    plain.resize(plain.size() - 4);
    if (Crc32(plain.data(), plain.size()) != icv) return std::nullopt;
    return plain;
}

void AddElement(Bytes& body, std::uint8_t id, const Bytes& value) {
    body.push_back(id);
    body.push_back(static_cast<std::uint8_t>(value.size()));
    body.insert(body.end(), value.begin(), value.end());
}

std::optional<Bytes> FindElement(const Bytes& e, std::uint8_t id) {
    std::size_t i = 0;
    while (i + 2 <= e.size()) {
        std::size_t len = e[i + 1];
        if (i + 2 + len > e.size()) break;
        if (e[i] == id) return Bytes(e.begin() + static_cast<std::ptrdiff_t>(i + 2), e.begin() + static_cast<std::ptrdiff_t>(i + 2 + len));
        i += 2 + len;
    }
    return std::nullopt;
}

Bytes SupportedRatesElement() { return Bytes{0x82, 0x84, 0x8B, 0x96}; }

Bytes BeaconBody(std::uint64_t timestamp, std::uint16_t interval, std::uint16_t capability, const std::string& ssid,
                 int channel) {
    Bytes b;
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(timestamp >> (8 * i)));
    Put16(b, interval);
    Put16(b, capability);
    AddElement(b, 0, Bytes(ssid.begin(), ssid.end()));
    AddElement(b, 1, SupportedRatesElement());
    AddElement(b, 3, Bytes{static_cast<std::uint8_t>(channel)});
    return b;
}

std::optional<BeaconInfo> ParseBeacon(const Bytes& body) {
    if (body.size() < 12) return std::nullopt;
    BeaconInfo info;
    info.interval = Get16(&body[8]);
    info.capability = Get16(&body[10]);
    Bytes elements(body.begin() + 12, body.end());
    if (auto ssid = FindElement(elements, 0)) info.ssid.assign(ssid->begin(), ssid->end());
    if (auto ds = FindElement(elements, 3); ds && !ds->empty()) info.channel = (*ds)[0];
    return info;
}

Bytes AuthBody(std::uint16_t algorithm, std::uint16_t sequence, std::uint16_t status) {
    Bytes b;
    Put16(b, algorithm);
    Put16(b, sequence);
    Put16(b, status);
    return b;
}

Bytes AssocRequestBody(std::uint16_t capability, const std::string& ssid) {
    Bytes b;
    Put16(b, capability);
    Put16(b, 10);  // listen interval
    AddElement(b, 0, Bytes(ssid.begin(), ssid.end()));
    AddElement(b, 1, SupportedRatesElement());
    return b;
}

Bytes AssocResponseBody(std::uint16_t capability, std::uint16_t status, std::uint16_t aid) {
    Bytes b;
    Put16(b, capability);
    Put16(b, status);
    Put16(b, static_cast<std::uint16_t>(aid | 0xC000));
    AddElement(b, 1, SupportedRatesElement());
    return b;
}

Bytes BuildEthernet(const Ethernet& e) {
    Bytes b(e.destination.begin(), e.destination.end());
    b.insert(b.end(), e.source.begin(), e.source.end());
    b.push_back(static_cast<std::uint8_t>(e.type >> 8));
    b.push_back(static_cast<std::uint8_t>(e.type & 0xFF));
    b.insert(b.end(), e.payload.begin(), e.payload.end());
    return b;
}

std::optional<Ethernet> ParseEthernet(const Bytes& f) {
    if (f.size() < 14) return std::nullopt;
    Ethernet e;
    std::copy(f.begin(), f.begin() + 6, e.destination.begin());
    std::copy(f.begin() + 6, f.begin() + 12, e.source.begin());
    e.type = static_cast<std::uint16_t>(f[12] << 8 | f[13]);
    e.payload.assign(f.begin() + 14, f.end());
    return e;
}

}  // namespace wifi
