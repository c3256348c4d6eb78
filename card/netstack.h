// A tiny Ethernet endpoint for the simulated access points and peers: it
// answers ARP requests and ICMP echo requests for its IPv4 address and keeps
// every frame it was given. Builders and parsers for tests sit beside it.
#ifndef MIREL_CARD_NETSTACK_H
#define MIREL_CARD_NETSTACK_H

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "card/ieee80211.h"

namespace net {

using wifi::Bytes;
using wifi::Ethernet;
using wifi::Mac;
using Ip = std::array<std::uint8_t, 4>;

constexpr std::uint16_t kEtherTypeIp = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;
constexpr std::uint16_t kEtherTypeEapol = 0x888E;

Ethernet ArpRequest(const Mac& sender, const Ip& sender_ip, const Ip& target_ip);
// An IPv4 ICMP echo request (type 8) or reply (type 0).
Ethernet IcmpEcho(const Mac& from, const Ip& from_ip, const Mac& to, const Ip& to_ip, std::uint8_t type,
                  std::uint16_t id, std::uint16_t seq, const Bytes& data);
struct Echo {
    std::uint8_t type;
    std::uint16_t id, seq;
    Ip source, destination;
    Bytes data;
};
std::optional<Echo> ParseEcho(const Ethernet& e);
struct Arp {
    std::uint16_t op;
    Mac sender_mac, target_mac;
    Ip sender_ip, target_ip;
};
std::optional<Arp> ParseArp(const Ethernet& e);
std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t n);

class Endpoint {
  public:
    Endpoint(Mac mac, Ip ip) : mac_(mac), ip_(ip) {}
    const Mac& mac() const { return mac_; }
    const Ip& ip() const { return ip_; }
    // Takes one frame; returns the answers it calls for.
    std::vector<Ethernet> Handle(const Ethernet& in);
    const std::vector<Ethernet>& Received() const { return received_; }
    void ClearReceived() { received_.clear(); }
    std::uint64_t EchoesAnswered() const { return echoes_answered_; }

  private:
    Mac mac_;
    Ip ip_;
    std::vector<Ethernet> received_;
    std::uint64_t echoes_answered_ = 0;
};

}  // namespace net

#endif  // MIREL_CARD_NETSTACK_H
