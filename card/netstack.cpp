#include "card/netstack.h"

#include <algorithm>

namespace net {

std::uint16_t InternetChecksum(const std::uint8_t* data, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    if (n & 1) sum += static_cast<std::uint32_t>(data[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Ethernet ArpRequest(const Mac& sender, const Ip& sender_ip, const Ip& target_ip) {
    Ethernet e;
    e.destination = wifi::kBroadcast;
    e.source = sender;
    e.type = kEtherTypeArp;
    e.payload = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
    e.payload.insert(e.payload.end(), sender.begin(), sender.end());
    e.payload.insert(e.payload.end(), sender_ip.begin(), sender_ip.end());
    e.payload.insert(e.payload.end(), 6, 0);
    e.payload.insert(e.payload.end(), target_ip.begin(), target_ip.end());
    return e;
}

std::optional<Arp> ParseArp(const Ethernet& e) {
    if (e.type != kEtherTypeArp || e.payload.size() < 28) return std::nullopt;
    const Bytes& p = e.payload;
    Arp a;
    a.op = static_cast<std::uint16_t>(p[6] << 8 | p[7]);
    std::copy(p.begin() + 8, p.begin() + 14, a.sender_mac.begin());
    std::copy(p.begin() + 14, p.begin() + 18, a.sender_ip.begin());
    std::copy(p.begin() + 18, p.begin() + 24, a.target_mac.begin());
    std::copy(p.begin() + 24, p.begin() + 28, a.target_ip.begin());
    return a;
}

Ethernet IcmpEcho(const Mac& from, const Ip& from_ip, const Mac& to, const Ip& to_ip, std::uint8_t type,
                  std::uint16_t id, std::uint16_t seq, const Bytes& data) {
    Bytes icmp = {type, 0, 0, 0, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id),
                  static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq)};
    icmp.insert(icmp.end(), data.begin(), data.end());
    std::uint16_t c = InternetChecksum(icmp.data(), icmp.size());
    icmp[2] = static_cast<std::uint8_t>(c >> 8);
    icmp[3] = static_cast<std::uint8_t>(c & 0xFF);
    std::uint16_t total = static_cast<std::uint16_t>(20 + icmp.size());
    Bytes ip = {0x45, 0, static_cast<std::uint8_t>(total >> 8), static_cast<std::uint8_t>(total), 0, 0, 0x40, 0, 64, 1, 0, 0};
    ip.insert(ip.end(), from_ip.begin(), from_ip.end());
    ip.insert(ip.end(), to_ip.begin(), to_ip.end());
    std::uint16_t hc = InternetChecksum(ip.data(), 20);
    ip[10] = static_cast<std::uint8_t>(hc >> 8);
    ip[11] = static_cast<std::uint8_t>(hc & 0xFF);
    ip.insert(ip.end(), icmp.begin(), icmp.end());
    Ethernet e;
    e.destination = to;
    e.source = from;
    e.type = kEtherTypeIp;
    e.payload = ip;
    return e;
}

std::optional<Echo> ParseEcho(const Ethernet& e) {
    if (e.type != kEtherTypeIp || e.payload.size() < 28) return std::nullopt;
    const Bytes& p = e.payload;
    std::size_t ihl = static_cast<std::size_t>(p[0] & 0x0F) * 4;
    std::size_t total = static_cast<std::size_t>(p[2] << 8 | p[3]);
    if ((p[0] >> 4) != 4 || p[9] != 1 || ihl < 20 || total > p.size() || total < ihl + 8) return std::nullopt;
    if (InternetChecksum(p.data(), ihl) != 0) return std::nullopt;
    if (InternetChecksum(p.data() + ihl, total - ihl) != 0) return std::nullopt;
    Echo echo;
    echo.type = p[ihl];
    echo.id = static_cast<std::uint16_t>(p[ihl + 4] << 8 | p[ihl + 5]);
    echo.seq = static_cast<std::uint16_t>(p[ihl + 6] << 8 | p[ihl + 7]);
    std::copy(p.begin() + 12, p.begin() + 16, echo.source.begin());
    std::copy(p.begin() + 16, p.begin() + 20, echo.destination.begin());
    echo.data.assign(p.begin() + static_cast<std::ptrdiff_t>(ihl + 8), p.begin() + static_cast<std::ptrdiff_t>(total));
    return echo;
}

std::vector<Ethernet> Endpoint::Handle(const Ethernet& in) {
    received_.push_back(in);
    std::vector<Ethernet> out;
    if (auto arp = ParseArp(in); arp && arp->op == 1 && arp->target_ip == ip_) {
        Ethernet reply;
        reply.destination = arp->sender_mac;
        reply.source = mac_;
        reply.type = kEtherTypeArp;
        reply.payload = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x02};
        reply.payload.insert(reply.payload.end(), mac_.begin(), mac_.end());
        reply.payload.insert(reply.payload.end(), ip_.begin(), ip_.end());
        reply.payload.insert(reply.payload.end(), arp->sender_mac.begin(), arp->sender_mac.end());
        reply.payload.insert(reply.payload.end(), arp->sender_ip.begin(), arp->sender_ip.end());
        out.push_back(reply);
    } else if (auto echo = ParseEcho(in); echo && echo->type == 8 && echo->destination == ip_ && in.destination == mac_) {
        out.push_back(IcmpEcho(mac_, ip_, in.source, echo->source, 0, echo->id, echo->seq, echo->data));
        ++echoes_answered_;
    }
    return out;
}

}  // namespace net
