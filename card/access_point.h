// Stations on the simulated air that the card talks to: an access point, a
// member of an ad-hoc (IBSS) network, or a peer of the beacon-less mode in
// which the link counts as up from the start. Each answers association,
// carries Ethernet frames to and from its own small network endpoint (ARP,
// ICMP echo), answers the vendor management request, and does whatever a
// test asks: go away, come back, move out of range, send an EAP Success,
// fragmented or arbitrary frames.
#ifndef MIREL_CARD_ACCESS_POINT_H
#define MIREL_CARD_ACCESS_POINT_H

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "card/air.h"
#include "card/ieee80211.h"
#include "card/netstack.h"

namespace air {

struct VendorInfo {
    std::string string1 = "MIREL-AP";
    std::string string2 = "Lab 3";
    std::string string3 = "access point for the simulated air";
    std::array<std::uint8_t, 6> bytes4_9 = {4, 5, 6, 7, 8, 9};
    std::array<std::uint8_t, 4> bytes10 = {10, 11, 12, 13};
};

enum class Role { kAccessPoint, kIbss, kPseudoIbss };

struct PeerConfig {
    Role role = Role::kAccessPoint;
    std::string ssid = "mirel-lab";
    Mac address = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};  // the BSSID of an access point
    Mac bssid = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x01};    // an IBSS member's network
    int channel = 6;
    int signal_dbm = -45;
    bool privacy = false;
    std::array<Bytes, 4> keys;  // WEP keys by index (5 or 13 bytes)
    int tx_key_index = 0;
    std::uint32_t first_iv = 0x000100;
    std::uint16_t beacon_interval = 100;  // time units of 1024 us
    net::Ip ip = {192, 168, 77, 1};
    VendorInfo vendor;
    bool answer_vendor_requests = true;
    bool accept_associations = true;
};

class AccessPoint : public Radio {
  public:
    AccessPoint(Air& air, PeerConfig config);
    ~AccessPoint() override;
    AccessPoint(const AccessPoint&) = delete;
    AccessPoint& operator=(const AccessPoint&) = delete;

    // --- test actions ---------------------------------------------------------
    void PowerOff();  // stops beaconing and answering: the network goes away
    void PowerOn();
    bool Powered() const { return powered_; }
    void SetSignal(int dbm);  // below -90 dBm the station is out of range
    // Sends an Ethernet frame to a station (or a group address).
    void SendEthernet(const wifi::Ethernet& frame);
    // The same, cut into fragments of at most `fragment_size` body bytes.
    void SendFragmented(const wifi::Ethernet& frame, std::size_t fragment_size);
    void SendEapSuccess(const Mac& station, std::uint8_t id = 1);
    void SendVendorInfo(const Mac& station);
    void SendRaw(const Bytes& frame80211);
    void Deauthenticate(const Mac& station);

    // --- observation --------------------------------------------------------------
    const std::vector<wifi::Ethernet>& Received() const { return received_; }
    void ClearReceived() { received_.clear(); }
    const std::set<Mac>& Associations() const { return associations_; }
    std::uint64_t DecryptFailures() const { return decrypt_failures_; }
    std::uint64_t DroppedFrames() const { return dropped_; }
    std::uint64_t VendorRequests() const { return vendor_requests_; }
    // Frames that arrived protected / in the clear.
    std::uint64_t ProtectedFrames() const { return protected_frames_; }
    net::Endpoint& endpoint() { return endpoint_; }
    const PeerConfig& config() const { return config_; }
    int id() const { return id_; }

    // --- Radio --------------------------------------------------------------------
    int Channel() const override { return config_.channel; }
    bool Listening() const override { return powered_; }
    void OnFrame(const Bytes& frame, int signal_dbm, int from) override;
    std::optional<Network> Advertised() const override;
    Mac Address() const override { return config_.address; }

  private:
    void Beacon();
    void ScheduleBeacon();
    void Transmit(const wifi::Header& header, const Bytes& body, bool number = true);
    wifi::Header DataHeader(const Mac& destination, const Mac& source);
    Bytes Protect(const Bytes& plaintext);
    void Deliver(const wifi::Header& header, const Bytes& body);
    void HandleManagement(const wifi::Header& header, const Bytes& body);
    Mac Bssid() const { return config_.role == Role::kAccessPoint ? config_.address : config_.bssid; }

    Air& air_;
    PeerConfig config_;
    int id_;
    bool powered_ = true;
    net::Endpoint endpoint_;
    std::set<Mac> associations_;
    std::vector<wifi::Ethernet> received_;
    std::map<std::pair<Mac, std::uint16_t>, Bytes> fragments_;
    std::uint16_t sequence_ = 0;
    std::uint32_t iv_;
    Micros busy_until_ = 0;
    std::optional<sim::Scheduler::EventId> beacon_event_;
    std::uint64_t decrypt_failures_ = 0, dropped_ = 0, vendor_requests_ = 0, protected_frames_ = 0;
};

}  // namespace air

#endif  // MIREL_CARD_ACCESS_POINT_H
