// mirelsim: runs the driver on the simulated bench and tells what happened.
//
//   mirelsim demo [--pcap FILE]    bring an adapter up, join a network, ping
//                                  the access point, list the networks seen,
//                                  halt; optionally write the air as pcap
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "card/registers.h"
#include "driver/mirelnd.h"
#include "sim/lab.h"

namespace {

double Seconds(sim::Micros t) { return static_cast<double>(t) / 1e6; }

void Say(sim::Lab& lab, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Say(sim::Lab& lab, const char* format, ...) {
    std::printf("  t=%9.6f  ", Seconds(lab.scheduler().Now()));
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
    std::printf("\n");
}

std::string Status(NDIS_STATUS s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", s);
    return buf;
}

void SayIndications(sim::Lab& lab, int adapter) {
    for (const auto& s : lab.host().StatusIndications(adapter)) {
        Say(lab, "status indication %s%s", Status(s).c_str(),
            s == NDIS_STATUS_MEDIA_CONNECT ? " (media connect)" : s == NDIS_STATUS_MEDIA_DISCONNECT ? " (media disconnect)" : "");
    }
}

// Sends one ICMP echo request to a peer and runs until its reply is
// indicated (at most a second). Returns whether it came, and reports it.
bool Ping(sim::Lab& lab, const wifi::Mac& own_mac, const net::Ip& own_ip, const air::PeerConfig& peer, std::uint16_t seq,
          const char* how) {
    std::size_t before = lab.Indicated().size();
    sim::Micros sent = lab.scheduler().Now();
    lab.Send(net::IcmpEcho(own_mac, own_ip, peer.address, peer.ip, 8, 0x4D52, seq, wifi::Bytes(56, static_cast<std::uint8_t>(seq))));
    bool answered = lab.RunUntil([&] {
        auto frames = lab.Indicated();
        for (std::size_t i = before; i < frames.size(); ++i) {
            if (auto echo = net::ParseEcho(frames[i]); echo && echo->type == 0 && echo->seq == seq) return true;
        }
        return false;
    }, 1'000'000);
    Say(lab, "ping %u.%u.%u.%u seq %u, 84 bytes%s: %s in %.3f ms", peer.ip[0], peer.ip[1], peer.ip[2], peer.ip[3], seq, how,
        answered ? "reply" : "NO REPLY", (lab.scheduler().Now() - sent) / 1000.0);
    return answered;
}

int Demo(const std::string& pcap) {
    sim::Lab::Options options;
    options.controller.newer_firmware = false;  // scan results follow every new connection
    options.registry.SetText("IoBaseAddress", "300").SetText("InterruptNumber", "10").SetText("ESSID", "mirel-lab");
    sim::Lab lab(options);
    std::printf("mirelsim demo: one adapter on the simulated bench\n\n");
    std::printf("Bench\n");
    auto mac = lab.card().StationAddress();
    Say(lab, "PC Card controller at I/O 0x300, IRQ 10, factory address %s, older firmware",
        wifi::MacText(mac).c_str());
    air::PeerConfig ap;
    ap.ssid = "mirel-lab";
    ap.channel = 6;
    lab.AddPeer(ap);
    Say(lab, "access point \"%s\" %s on channel %d, %d dBm, open, IP 192.168.77.1", ap.ssid.c_str(),
        wifi::MacText(ap.address).c_str(), ap.channel, ap.signal_dbm);
    air::PeerConfig other;
    other.ssid = "coffee-shop";
    other.address = {0x02, 0x00, 0x5E, 0x20, 0x00, 0x07};
    other.channel = 11;
    other.signal_dbm = -71;
    other.privacy = true;
    other.keys[0] = {1, 2, 3, 4, 5};
    other.ip = {192, 168, 88, 1};
    lab.AddPeer(other);
    Say(lab, "access point \"%s\" %s on channel %d, %d dBm, WEP", other.ssid.c_str(), wifi::MacText(other.address).c_str(),
        other.channel, other.signal_dbm);

    std::printf("\nDriverEntry\n");
    NTSTATUS entry = lab.LoadDriver();
    const NDIS_MINIPORT_CHARACTERISTICS& c = lab.host().Characteristics();
    Say(lab, "NdisMRegisterMiniport returned %s: NDIS %d.%d characteristics, %u bytes (72 where pointers are 4 bytes)",
        Status(entry).c_str(), c.MajorNdisVersion, c.MinorNdisVersion, lab.host().CharacteristicsLength());
    const auto* slots = reinterpret_cast<const void* const*>(&c.CheckForHangHandler);
    int empty = 0;
    for (int i = 0; i < 16; ++i) empty += slots[i] == nullptr;
    Say(lab, "%d handlers registered, %d slots empty (check-for-hang, reconfigure, send, return-packet, allocate-complete)",
        16 - empty, empty);

    std::printf("\nMiniportInitialize\n");
    sim::Micros start = lab.scheduler().Now();
    NDIS_STATUS init = lab.Initialize();
    int a = lab.adapter();
    Say(lab, "returned %s after %.3f ms of virtual time", Status(init).c_str(), (lab.scheduler().Now() - start) / 1000.0);
    if (init != NDIS_STATUS_SUCCESS) return 1;
    auto attributes = lab.host().AttributesOf(a);
    Say(lab, "attributes 0x%02X (deserialized, no halt on suspend), bus ISA", attributes.flags);
    for (const auto& r : lab.host().PortRanges(a)) {
        Say(lab, "I/O ports 0x%X..0x%X mapped at 0x%X", r.initial_port, r.initial_port + r.ports - 1, r.mapped);
    }
    if (auto i = lab.host().Interrupt(a)) {
        Say(lab, "interrupt vector %u, level %u, shared, level-sensitive, ISR requested", i->vector, i->level);
    }
    std::map<std::uint16_t, int> commands;
    std::vector<std::uint16_t> pushed;
    for (const auto& cmd : lab.card().Commands()) {
        commands[cmd.code]++;
        if (cmd.code == 0x0121) pushed.push_back(cmd.param0);
    }
    Say(lab, "controller access: %zu port accesses; CMD_INIT %d, CMD_ACCESS %d, CMD_ACCESS_WRITE %d, CMD_ALLOCATE %d, CMD_ENABLE %d",
        lab.card().Trace().size(), commands[0x0000], commands[0x0021], commands[0x0121], commands[0x000A], commands[0x0001]);
    std::string order;
    for (std::uint16_t rid : pushed) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04X ", rid);
        order += buf;
    }
    Say(lab, "records written, in order: %s", order.c_str());
    Say(lab, "card-present signature 0x%04X, event mask 0x%04X, port %s, %zu transmit buffers in controller memory",
        lab.card().SwSupport0(), lab.card().InterruptMask(), lab.card().PortEnabled() ? "enabled" : "disabled",
        lab.card().AllocatedTxBuffers());
    Say(lab, "link monitor armed: %zu timer(s); %zu bytes of memory (tag MRND)", lab.host().ArmedTimers(a), lab.host().MemoryInUse(a));

    std::printf("\nLink\n");
    bool connected = lab.RunUntil([&] { return lab.MediaConnected(); }, 5'000'000);
    SayIndications(lab, a);
    if (!connected) {
        Say(lab, "no connection within 5 s");
        return 1;
    }
    Say(lab, "joined \"%s\" bssid %s on channel %d", ap.ssid.c_str(), wifi::MacText(lab.card().JoinedBssid()).c_str(),
        lab.card().Channel());
    auto rssi = lab.host().Query(a, OID_802_11_RSSI, 4);
    LONG dbm;
    std::memcpy(&dbm, rssi.data.data(), 4);
    Say(lab, "OID_802_11_RSSI: %d dBm", dbm);

    std::printf("\nTraffic\n");
    net::Ip own_ip = {192, 168, 77, 2};
    lab.Send(net::ArpRequest(mac, own_ip, ap.ip));
    sim::Micros sent = lab.scheduler().Now();
    lab.RunUntil([&] {
        for (const auto& e : lab.Indicated()) {
            if (auto arp = net::ParseArp(e); arp && arp->op == 2) return true;
        }
        return false;
    }, 1'000'000);
    Say(lab, "ARP who-has 192.168.77.1: answered by %s after %.3f ms", wifi::MacText(ap.address).c_str(),
        (lab.scheduler().Now() - sent) / 1000.0);
    bool all_answered = true;
    for (std::uint16_t seq = 1; seq <= 3; ++seq) all_answered = Ping(lab, mac, own_ip, ap, seq, "") && all_answered;
    if (!all_answered) return 1;
    auto xmit = lab.host().Query(a, OID_GEN_XMIT_OK, 4);
    auto rcv = lab.host().Query(a, OID_GEN_RCV_OK, 4);
    ULONG xmit_ok, rcv_ok;
    std::memcpy(&xmit_ok, xmit.data.data(), 4);
    std::memcpy(&rcv_ok, rcv.data.data(), 4);
    Say(lab, "frames sent OK %u, received OK %u (vendor management frames included in the sent count)", xmit_ok, rcv_ok);

    std::printf("\nScan\n");
    lab.RunFor(300'000);
    auto list = lab.host().Query(a, OID_802_11_BSSID_LIST, 4 + 20 * 104);
    ULONG items;
    std::memcpy(&items, list.data.data(), 4);
    Say(lab, "OID_802_11_BSSID_LIST: %u network(s)", items);
    for (ULONG i = 0; i < items; ++i) {
        NDIS_WLAN_BSSID entry;
        std::memcpy(&entry, list.data.data() + 4 + i * 104, sizeof entry);
        wifi::Mac m;
        std::copy(entry.MacAddress, entry.MacAddress + 6, m.begin());
        std::string ssid(reinterpret_cast<const char*>(entry.Ssid.Ssid), std::min<ULONG>(entry.Ssid.SsidLength, 32));
        ssid = ssid.c_str();
        Say(lab, "  %-12s %s  %d dBm  %u kHz  %s%s", ssid.c_str(), wifi::MacText(m).c_str(), entry.Rssi,
            entry.Configuration.DSConfig, entry.InfrastructureMode == Ndis802_11IBSS ? "ad hoc" : "infrastructure",
            entry.Privacy ? ", WEP" : "");
    }

    std::printf("\nRoaming\n");
    // What a configuration utility does to move to another network: hand over
    // the key first, then name the network; the SSID set commits both.
    {
        const wifi::Bytes& key_bytes = other.keys[0];
        ULONG header[3] = {static_cast<ULONG>(12 + key_bytes.size()), 0x80000000u, static_cast<ULONG>(key_bytes.size())};
        wifi::Bytes wep(sizeof header + key_bytes.size());
        std::memcpy(wep.data(), header, sizeof header);
        std::copy(key_bytes.begin(), key_bytes.end(), wep.begin() + sizeof header);
        auto key = lab.host().Set(a, OID_802_11_ADD_WEP, wep);
        Say(lab, "OID_802_11_ADD_WEP key 0 (40-bit, transmit key): %s", Status(key.status).c_str());
        wifi::Bytes ssid(36, 0);
        ULONG length = static_cast<ULONG>(other.ssid.size());
        std::memcpy(ssid.data(), &length, 4);
        std::memcpy(ssid.data() + 4, other.ssid.data(), other.ssid.size());
        lab.host().ClearIndications(a);
        auto set = lab.host().Set(a, OID_802_11_SSID, ssid);
        Say(lab, "OID_802_11_SSID \"%s\": %s", other.ssid.c_str(), Status(set.status).c_str());
        bool joined = lab.RunUntil([&] { return lab.MediaConnected(); }, 5'000'000);
        SayIndications(lab, a);
        if (!joined) {
            Say(lab, "no connection to \"%s\" within 5 s", other.ssid.c_str());
            return 1;
        }
        Say(lab, "joined \"%s\" bssid %s on channel %d", other.ssid.c_str(), wifi::MacText(lab.card().JoinedBssid()).c_str(),
            lab.card().Channel());
        if (!Ping(lab, mac, own_ip, other, 4, " over WEP")) return 1;
    }

    std::printf("\nMiniportHalt\n");
    lab.Halt();
    Say(lab, "memory %zu bytes, armed timers %zu, interrupt %s, port ranges %zu, controller port %s, event mask 0x%04X",
        lab.host().MemoryInUse(a), lab.host().ArmedTimers(a), lab.host().InterruptRegistered(a) ? "registered" : "deregistered",
        lab.host().PortRanges(a).size(), lab.card().PortEnabled() ? "enabled" : "disabled", lab.card().InterruptMask());

    std::printf("\nChecks\n");
    Say(lab, "verifier: %zu violation(s)", lab.Violations().size());
    for (const auto& v : lab.Violations()) Say(lab, "  %s: %s", host::RuleName(v.rule), v.message.c_str());
    Say(lab, "controller protocol errors: %zu", lab.card().ProtocolErrors().size());
    for (const auto& e : lab.card().ProtocolErrors()) Say(lab, "  %s", e.c_str());
    Say(lab, "frames on the air: %zu", lab.air().Captured().size());
    if (!pcap.empty()) {
        std::string error = lab.air().WritePcap(pcap);
        if (!error.empty()) {
            std::fprintf(stderr, "mirelsim: %s\n", error.c_str());
            return 1;
        }
        Say(lab, "air capture written to %s (pcap, 802.11)", pcap.c_str());
    }
    bool clean = lab.Violations().empty() && lab.card().ProtocolErrors().empty();
    std::printf("\n%s\n", clean ? "demo finished: all checks clean" : "demo finished WITH PROBLEMS");
    return clean ? 0 : 1;
}

void Usage() {
    std::fprintf(stderr,
                 "usage: mirelsim demo [--pcap FILE]\n"
                 "  demo   bring an adapter up on the simulated bench, join a network, ping the\n"
                 "         access point, list the networks seen and halt, telling what happened\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage();
        return 2;
    }
    std::string scenario = argv[1];
    std::string pcap;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--pcap" && i + 1 < argc) {
            pcap = argv[++i];
        } else {
            std::fprintf(stderr, "mirelsim: unknown argument '%s'\n", arg.c_str());
            Usage();
            return 2;
        }
    }
    if (scenario == "demo") return Demo(pcap);
    std::fprintf(stderr, "mirelsim: unknown scenario '%s'\n", scenario.c_str());
    Usage();
    return 2;
}
