#include "card/access_point.h"

#include <algorithm>

namespace air {

namespace {
constexpr unsigned kRateKbps = 11000;
}

AccessPoint::AccessPoint(Air& air, PeerConfig config)
    : air_(air), config_(std::move(config)), endpoint_(config_.address, config_.ip), iv_(config_.first_iv) {
    id_ = air_.Attach(this, config_.signal_dbm);
    ScheduleBeacon();
}

AccessPoint::~AccessPoint() {
    if (beacon_event_) air_.scheduler().Cancel(*beacon_event_);
    air_.Detach(id_);
}

void AccessPoint::PowerOff() {
    powered_ = false;
    associations_.clear();
    if (beacon_event_) air_.scheduler().Cancel(*beacon_event_);
    beacon_event_.reset();
}

void AccessPoint::PowerOn() {
    if (powered_) return;
    powered_ = true;
    ScheduleBeacon();
}

void AccessPoint::SetSignal(int dbm) {
    config_.signal_dbm = dbm;
    air_.SetSignal(id_, dbm);
}

std::optional<Network> AccessPoint::Advertised() const {
    if (!powered_ || config_.role == Role::kPseudoIbss) return std::nullopt;
    Network n;
    n.bssid = Bssid();
    n.ssid = config_.ssid;
    n.channel = config_.channel;
    n.beacon_interval = config_.beacon_interval;
    n.capability = static_cast<std::uint16_t>((config_.role == Role::kAccessPoint ? wifi::kCapEss : wifi::kCapIbss) |
                                              (config_.privacy ? wifi::kCapPrivacy : 0) | wifi::kCapShortPreamble);
    return n;
}

void AccessPoint::ScheduleBeacon() {
    if (!powered_ || config_.role == Role::kPseudoIbss) return;
    Micros interval = static_cast<Micros>(config_.beacon_interval) * 1024;
    beacon_event_ = air_.scheduler().After(interval, [this] {
        beacon_event_.reset();
        Beacon();
        ScheduleBeacon();
    });
}

void AccessPoint::Beacon() {
    auto network = Advertised();
    if (!network) return;
    wifi::Header h;
    h.frame_control = wifi::FrameControl(wifi::kTypeManagement, wifi::kSubBeacon);
    h.addr1 = wifi::kBroadcast;
    h.addr2 = config_.address;
    h.addr3 = Bssid();
    Transmit(h, wifi::BeaconBody(air_.scheduler().Now(), network->beacon_interval, network->capability, config_.ssid,
                                 config_.channel));
}

void AccessPoint::Transmit(const wifi::Header& header, const Bytes& body, bool number) {
    wifi::Header h = header;
    if (number) h.sequence_control = static_cast<std::uint16_t>((sequence_++ & 0x0FFF) << 4);
    Bytes frame = wifi::Build(h, body);
    Micros now = air_.scheduler().Now();
    Micros start = std::max(now, busy_until_);
    Micros airtime = Air::Airtime(frame.size(), kRateKbps, true);
    busy_until_ = start + airtime;
    air_.Send(id_, config_.channel, std::move(frame), busy_until_ - now);
}

wifi::Header AccessPoint::DataHeader(const Mac& destination, const Mac& source) {
    wifi::Header h;
    if (config_.role == Role::kAccessPoint) {
        h.frame_control = wifi::FrameControl(wifi::kTypeData, 0, wifi::kFromDs);
        h.addr1 = destination;
        h.addr2 = config_.address;
        h.addr3 = source;
    } else {
        h.frame_control = wifi::FrameControl(wifi::kTypeData, 0);
        h.addr1 = destination;
        h.addr2 = config_.address;
        h.addr3 = config_.role == Role::kIbss ? config_.bssid : Mac{};
    }
    return h;
}

Bytes AccessPoint::Protect(const Bytes& plaintext) {
    const Bytes& key = config_.keys[static_cast<std::size_t>(config_.tx_key_index & 3)];
    return wifi::WepEncrypt(key, iv_++ & 0xFFFFFF, config_.tx_key_index, plaintext);
}

static Bytes BodyOf(const wifi::Ethernet& e) {
    // An 802.3 frame (length field) carries its LLC data as it is.
    return e.type > 1500 ? wifi::Encapsulate(e.type, e.payload) : e.payload;
}

void AccessPoint::SendEthernet(const wifi::Ethernet& frame) {
    if (!powered_) return;
    wifi::Header h = DataHeader(frame.destination, frame.source);
    Bytes body = BodyOf(frame);
    if (config_.privacy) {
        body = Protect(body);
        h.frame_control |= wifi::kProtected;
    }
    Transmit(h, body);
}

void AccessPoint::SendFragmented(const wifi::Ethernet& frame, std::size_t fragment_size) {
    if (!powered_ || fragment_size == 0) return;
    Bytes body = BodyOf(frame);
    std::uint16_t sequence = static_cast<std::uint16_t>(sequence_++ & 0x0FFF);
    std::size_t count = (body.size() + fragment_size - 1) / fragment_size;
    for (std::size_t i = 0; i < count; ++i) {
        Bytes part(body.begin() + static_cast<std::ptrdiff_t>(i * fragment_size),
                   body.begin() + static_cast<std::ptrdiff_t>(std::min(body.size(), (i + 1) * fragment_size)));
        wifi::Header h = DataHeader(frame.destination, frame.source);
        if (i + 1 < count) h.frame_control |= wifi::kMoreFragments;
        h.sequence_control = static_cast<std::uint16_t>(sequence << 4 | (i & 0xF));
        if (config_.privacy) {
            part = Protect(part);
            h.frame_control |= wifi::kProtected;
        }
        Transmit(h, part, false);
    }
}

void AccessPoint::SendEapSuccess(const Mac& station, std::uint8_t id) {
    if (!powered_) return;
    wifi::Ethernet e;
    e.destination = station;
    e.source = config_.address;
    e.type = net::kEtherTypeEapol;
    e.payload = {0x01, 0x00, 0x00, 0x04, 0x03, id, 0x00, 0x04};
    // EAPOL travels in the clear even on a WEP network.
    Transmit(DataHeader(e.destination, e.source), BodyOf(e));
}

void AccessPoint::SendVendorInfo(const Mac& station) {
    Bytes body = {0x00, 0x02, 10, 0x00};
    auto text = [&](std::uint8_t id, const std::string& s) {
        Bytes value(s.begin(), s.end());
        value.push_back(0);
        wifi::AddElement(body, id, value);
    };
    text(1, config_.vendor.string1);
    text(2, config_.vendor.string2);
    text(3, config_.vendor.string3);
    for (int i = 0; i < 6; ++i) wifi::AddElement(body, static_cast<std::uint8_t>(4 + i), Bytes{config_.vendor.bytes4_9[static_cast<std::size_t>(i)]});
    wifi::AddElement(body, 10, Bytes(config_.vendor.bytes10.begin(), config_.vendor.bytes10.end()));
    wifi::Ethernet e;
    e.destination = station;
    e.source = Bssid();
    e.type = wifi::kEtherTypeVendor;
    e.payload = body;
    SendEthernet(e);
}

void AccessPoint::SendRaw(const Bytes& frame80211) {
    Micros now = air_.scheduler().Now();
    Micros start = std::max(now, busy_until_);
    busy_until_ = start + Air::Airtime(frame80211.size(), kRateKbps, true);
    air_.Send(id_, config_.channel, frame80211, busy_until_ - now);
}

void AccessPoint::Deauthenticate(const Mac& station) {
    wifi::Header h;
    h.frame_control = wifi::FrameControl(wifi::kTypeManagement, wifi::kSubDeauth);
    h.addr1 = station;
    h.addr2 = config_.address;
    h.addr3 = Bssid();
    associations_.erase(station);
    Transmit(h, Bytes{0x03, 0x00});  // reason: station leaving
}

void AccessPoint::HandleManagement(const wifi::Header& h, const Bytes& body) {
    if (config_.role != Role::kAccessPoint || h.addr1 != config_.address) return;
    wifi::Header reply;
    reply.addr1 = h.addr2;
    reply.addr2 = config_.address;
    reply.addr3 = config_.address;
    switch (h.subtype()) {
        case wifi::kSubAuth: {
            if (body.size() < 6) return;
            reply.frame_control = wifi::FrameControl(wifi::kTypeManagement, wifi::kSubAuth);
            std::uint16_t algorithm = static_cast<std::uint16_t>(body[0] | body[1] << 8);
            Transmit(reply, wifi::AuthBody(algorithm, 2, config_.accept_associations ? 0 : 1));
            return;
        }
        case wifi::kSubAssocRequest: {
            if (body.size() < 4) return;
            std::uint16_t capability = static_cast<std::uint16_t>(body[0] | body[1] << 8);
            auto ssid = wifi::FindElement(Bytes(body.begin() + 4, body.end()), 0);
            bool ok = config_.accept_associations && ssid && std::string(ssid->begin(), ssid->end()) == config_.ssid &&
                      ((capability & wifi::kCapPrivacy) != 0) == config_.privacy;
            if (ok) associations_.insert(h.addr2);
            reply.frame_control = wifi::FrameControl(wifi::kTypeManagement, wifi::kSubAssocResponse);
            Transmit(reply, wifi::AssocResponseBody(Advertised()->capability, ok ? 0 : 1,
                                                    static_cast<std::uint16_t>(associations_.size())));
            return;
        }
        case wifi::kSubDeauth:
        case wifi::kSubDisassoc:
            associations_.erase(h.addr2);
            return;
        default:
            return;
    }
}

void AccessPoint::OnFrame(const Bytes& frame, int, int) {
    if (!powered_) return;
    auto parsed = wifi::Parse(frame);
    if (!parsed) return;
    auto& [h, body] = *parsed;
    if (h.type() == wifi::kTypeManagement) {
        HandleManagement(h, body);
        return;
    }
    if (h.type() != wifi::kTypeData) return;
    if (config_.role == Role::kAccessPoint) {
        if (!h.to_ds() || h.from_ds() || h.addr1 != config_.address) return;
        if (associations_.count(h.addr2) == 0) {
            ++dropped_;
            return;
        }
    } else {
        if (h.to_ds() || h.from_ds()) return;
        if (h.addr1 != config_.address && !wifi::IsGroup(h.addr1)) return;
        if (config_.role == Role::kIbss && h.addr3 != config_.bssid) return;
    }
    Bytes plain = body;
    if (h.is_protected()) {
        ++protected_frames_;
        auto decrypted = wifi::WepDecrypt(config_.keys, body);
        if (!decrypted) {
            ++decrypt_failures_;
            return;
        }
        plain = *decrypted;
    }
    if (h.more_fragments() || h.fragment() != 0) {
        auto key = std::make_pair(h.addr2, h.sequence());
        if (h.fragment() == 0) fragments_[key].clear();
        auto& collected = fragments_[key];
        collected.insert(collected.end(), plain.begin(), plain.end());
        if (h.more_fragments()) return;
        plain = collected;
        fragments_.erase(key);
    }
    Deliver(h, plain);
}

void AccessPoint::Deliver(const wifi::Header& h, const Bytes& body) {
    wifi::Ethernet e;
    e.destination = h.Destination();
    e.source = h.Source();
    if (auto snap = wifi::Decapsulate(body)) {
        e.type = snap->first;
        e.payload = snap->second;
    } else {
        e.type = static_cast<std::uint16_t>(body.size());
        e.payload = body;
    }
    received_.push_back(e);
    if (e.type == wifi::kEtherTypeVendor && body.size() >= 8 && body[3] == 0x02 && body[4] == 0x4B && body[5] == 0x7E) {
        ++vendor_requests_;
        if (config_.answer_vendor_requests && e.payload.size() >= 2 && e.payload[0] == 0 && e.payload[1] == 1) {
            SendVendorInfo(e.source);
        }
        return;
    }
    if (e.destination != config_.address && !wifi::IsGroup(e.destination)) return;
    for (const wifi::Ethernet& reply : endpoint_.Handle(e)) SendEthernet(reply);
}

}  // namespace air
