// 802.11 frames as they travel on the simulated air: headers, SNAP
// encapsulation, WEP, and the management frames the simulated stations and
// access points exchange. Frames carry no FCS (captures use link type 105).
// WEP here is written independently of the driver's engine, so that the two
// check each other.
#ifndef MIREL_CARD_IEEE80211_H
#define MIREL_CARD_IEEE80211_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wifi {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::string MacText(const Mac& mac);
bool IsGroup(const Mac& mac);

// Frame control
constexpr std::uint16_t kTypeManagement = 0;
constexpr std::uint16_t kTypeControl = 1;
constexpr std::uint16_t kTypeData = 2;
constexpr std::uint16_t kSubAssocRequest = 0;
constexpr std::uint16_t kSubAssocResponse = 1;
constexpr std::uint16_t kSubProbeRequest = 4;
constexpr std::uint16_t kSubProbeResponse = 5;
constexpr std::uint16_t kSubBeacon = 8;
constexpr std::uint16_t kSubDisassoc = 10;
constexpr std::uint16_t kSubAuth = 11;
constexpr std::uint16_t kSubDeauth = 12;
constexpr std::uint16_t kToDs = 0x0100;
constexpr std::uint16_t kFromDs = 0x0200;
constexpr std::uint16_t kMoreFragments = 0x0400;
constexpr std::uint16_t kProtected = 0x4000;

constexpr std::uint16_t FrameControl(std::uint16_t type, std::uint16_t subtype, std::uint16_t flags = 0) {
    return static_cast<std::uint16_t>((type << 2) | (subtype << 4) | flags);
}

// The 24-byte header of a data or management frame (no fourth address).
struct Header {
    std::uint16_t frame_control = 0;
    std::uint16_t duration = 0;
    Mac addr1{}, addr2{}, addr3{};
    std::uint16_t sequence_control = 0;

    std::uint16_t type() const { return (frame_control >> 2) & 3; }
    std::uint16_t subtype() const { return (frame_control >> 4) & 0xF; }
    bool to_ds() const { return frame_control & kToDs; }
    bool from_ds() const { return frame_control & kFromDs; }
    bool is_protected() const { return frame_control & kProtected; }
    bool more_fragments() const { return frame_control & kMoreFragments; }
    std::uint16_t fragment() const { return sequence_control & 0xF; }
    std::uint16_t sequence() const { return sequence_control >> 4; }
    // Destination, source and BSSID by the DS bits.
    Mac Destination() const;
    Mac Source() const;
    Mac Bssid() const;
};

constexpr std::size_t kHeaderSize = 24;

Bytes Build(const Header& h, const Bytes& body);
// Splits a frame into its header and body; nullopt when shorter than a header.
std::optional<std::pair<Header, Bytes>> Parse(const Bytes& frame);

// 802.2 SNAP
extern const std::uint8_t kSnapRfc1042[6];
extern const std::uint8_t kSnapBridgeTunnel[6];
extern const std::uint8_t kSnapVendor[6];
constexpr std::uint16_t kEtherTypeIpx = 0x8137;
constexpr std::uint16_t kEtherTypeAarp = 0x80F3;
constexpr std::uint16_t kEtherTypeVendor = 0x81AE;
// Ethernet type and payload -> LLC/SNAP body (bridge tunnel for IPX/AARP).
Bytes Encapsulate(std::uint16_t ether_type, const Bytes& payload);
// LLC/SNAP body -> Ethernet type and payload; nullopt when not SNAP.
std::optional<std::pair<std::uint16_t, Bytes>> Decapsulate(const Bytes& body);

// WEP. A key is 5 or 13 bytes; the IV is three bytes and the key index two bits.
struct WepKey {
    Bytes key;
};
std::uint32_t Crc32(const std::uint8_t* data, std::size_t n);
Bytes Rc4(const Bytes& seed, const Bytes& data);
// plaintext -> IV header (4) + RC4(plaintext + ICV)
Bytes WepEncrypt(const Bytes& key, std::uint32_t iv, int key_index, const Bytes& plaintext);
// IV header + ciphertext + ICV -> plaintext, or nullopt on an ICV mismatch.
std::optional<Bytes> WepDecrypt(const std::array<Bytes, 4>& keys, const Bytes& body, int* key_index = nullptr);

// Information elements
void AddElement(Bytes& body, std::uint8_t id, const Bytes& value);
std::optional<Bytes> FindElement(const Bytes& elements, std::uint8_t id);
Bytes SupportedRatesElement();

// Management bodies
Bytes BeaconBody(std::uint64_t timestamp_us, std::uint16_t interval, std::uint16_t capability,
                 const std::string& ssid, int channel);
struct BeaconInfo {
    std::uint16_t interval = 0;
    std::uint16_t capability = 0;
    std::string ssid;
    int channel = 0;
};
std::optional<BeaconInfo> ParseBeacon(const Bytes& body);
Bytes AuthBody(std::uint16_t algorithm, std::uint16_t sequence, std::uint16_t status);
Bytes AssocRequestBody(std::uint16_t capability, const std::string& ssid);
Bytes AssocResponseBody(std::uint16_t capability, std::uint16_t status, std::uint16_t aid);

constexpr std::uint16_t kCapEss = 0x0001;
constexpr std::uint16_t kCapIbss = 0x0002;
constexpr std::uint16_t kCapPrivacy = 0x0010;
constexpr std::uint16_t kCapShortPreamble = 0x0020;

// Ethernet
struct Ethernet {
    Mac destination{}, source{};
    std::uint16_t type = 0;  // or 802.3 length
    Bytes payload;
};
Bytes BuildEthernet(const Ethernet& e);
std::optional<Ethernet> ParseEthernet(const Bytes& frame);

}  // namespace wifi

#endif  // MIREL_CARD_IEEE80211_H
