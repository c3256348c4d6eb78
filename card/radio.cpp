// The controller's firmware on the radio side: it joins a network, sends the
// frames the host hands it as 802.11 data frames, filters, decrypts and
// reassembles what it hears, scans, and reports link changes and scan results
// in information frames.
#include <algorithm>

#include "card/controller.h"

namespace card {

namespace {

constexpr std::uint16_t kLinkConnected = 1;
constexpr std::uint16_t kLinkDisconnected = 2;
constexpr std::uint16_t kLinkApChanged = 3;
constexpr std::uint16_t kLinkOutOfRange = 4;
constexpr std::uint16_t kLinkBackInRange = 5;
constexpr std::uint16_t kLinkAssociationFailed = 6;

std::uint16_t Get16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
bool StartsWith(const wifi::Bytes& data, const std::uint8_t* prefix, std::size_t n) {
    return data.size() >= n && std::equal(prefix, prefix + n, data.begin());
}

}  // namespace

// --- settings as the firmware reads them from its records -----------------------------

std::uint16_t Controller::RecordWord(std::uint16_t rid, std::size_t data_word, std::uint16_t fallback) const {
    auto it = records_.find(rid);
    if (it == records_.end() || it->second.size() <= 2 + data_word) return fallback;
    return it->second[2 + data_word];
}

std::uint8_t Controller::NetworkModeSetting() const {
    return static_cast<std::uint8_t>(RecordWord(rid::kNetworkMode, 0, 1) & 0xFF);
}

std::string Controller::DesiredSsid() const {
    auto it = records_.find(rid::kDesiredSsid);
    return it == records_.end() ? std::string() : NameFromRecord(it->second);
}

std::uint16_t Controller::WepFlags() const { return RecordWord(rid::kWepFlags, 0, 0); }

int Controller::OwnChannel() const {
    int channel = RecordWord(rid::kOwnChannel, 0, 3) & 0xFF;
    return channel >= 1 && channel <= 14 ? channel : 3;
}

unsigned Controller::RateKbps() const {
    std::uint16_t rate = RecordWord(rid::kTransmitRate, 0, 15);
    if (rate & 8) return 11000;
    if (rate & 4) return 5500;
    if (rate & 2) return 2000;
    if (rate & 1) return 1000;
    return 11000;
}

// The firmware's own default keys: a record of length 4 holds a 40-bit key,
// one of length 8 a 104-bit key (each followed by a byte the key does not use).
std::array<wifi::Bytes, 4> Controller::Keys() const {
    std::array<wifi::Bytes, 4> keys;
    for (int k = 0; k < 4; ++k) {
        auto it = records_.find(static_cast<std::uint16_t>(rid::kDefaultKey0 + k));
        if (it == records_.end() || it->second.size() < 2) continue;
        const auto& w = it->second;
        std::size_t length = w[0] >= 8 ? 13 : 5;
        wifi::Bytes key;
        for (std::size_t i = 0; i < length && 2 + i / 2 < w.size(); ++i) {
            key.push_back(static_cast<std::uint8_t>((i & 1) ? w[2 + i / 2] >> 8 : w[2 + i / 2] & 0xFF));
        }
        if (key.size() == length) keys[static_cast<std::size_t>(k)] = key;
    }
    return keys;
}

// --- joining a network ------------------------------------------------------------------

void Controller::AttachAir(air::Air& air, int signal_dbm) {
    air_ = &air;
    radio_id_ = air.Attach(this, signal_dbm);
}

void Controller::OnInit() {
    station_.generation++;
    station_.state = LinkState::kIdle;
    station_.ibss_owner = false;
    station_.lost = false;
    station_.fragments.clear();
    station_.channel = OwnChannel();
}

void Controller::OnPortEnabled(bool enabled) {
    station_.generation++;
    station_.fragments.clear();
    station_.ibss_owner = false;
    if (!enabled) {
        station_.state = LinkState::kIdle;
        return;
    }
    StartJoin();
}

void Controller::OnMonitorMode(bool on) {
    if (on) {
        station_.generation++;
        station_.state = LinkState::kIdle;
    } else if (port_enabled_) {
        StartJoin();
    }
}

void Controller::StartJoin() {
    station_.state = LinkState::kSearching;
    station_.channel = OwnChannel();
    std::uint64_t generation = ++station_.generation;
    Schedule(config_.timing.join_scan, true, [this, generation] { Search(generation); });
}

void Controller::ReportLink(std::uint16_t code) { QueueInfoFrame({2, info::kLinkStatus, code}); }

void Controller::Search(std::uint64_t generation) {
    if (generation != station_.generation || !port_enabled_ || monitor_mode_) return;
    std::uint8_t mode = NetworkModeSetting();
    if (mode == 3) {
        // The beacon-less mode: the link is up without anyone to join.
        station_.bssid = wifi::Mac{};
        station_.ssid = DesiredSsid();
        station_.channel = OwnChannel();
        station_.state = LinkState::kJoined;
        UpdateLinkRecords();
        return;
    }
    std::string desired = DesiredSsid();
    bool privacy = (WepFlags() & 1) != 0;
    std::optional<air::Sighting> chosen;
    if (air_ != nullptr) {
        for (const air::Sighting& s : air_->Survey(radio_id_)) {
            bool kind = mode == 0 ? (s.network.capability & wifi::kCapIbss) != 0 : (s.network.capability & wifi::kCapEss) != 0;
            bool name = desired.empty() || s.network.ssid == desired;
            bool secure = ((s.network.capability & wifi::kCapPrivacy) != 0) == privacy;
            if (kind && name && secure) {
                chosen = s;
                break;
            }
        }
    }
    if (chosen) {
        station_.bssid = chosen->network.bssid;
        station_.ssid = chosen->network.ssid;
        station_.channel = chosen->network.channel;
        station_.signal = chosen->signal_dbm;
        station_.beacon_interval = chosen->network.beacon_interval;
        station_.capability = chosen->network.capability;
        if (mode == 0) {
            Joined();
            return;
        }
        station_.state = LinkState::kAuthenticating;
        std::uint16_t algorithm = RecordWord(rid::kAuthenticationType, 0, 1) == 2 ? 1 : 0;
        SendManagement(wifi::kSubAuth, station_.bssid, wifi::AuthBody(algorithm, 1, 0));
        Schedule(config_.timing.association_timeout, true, [this, generation] {
            if (generation != station_.generation) return;
            if (station_.state != LinkState::kAuthenticating && station_.state != LinkState::kAssociating) return;
            ReportLink(kLinkAssociationFailed);
            station_.state = LinkState::kSearching;
            Schedule(config_.timing.search_retry, true, [this, generation] { Search(generation); });
        });
        return;
    }
    if (mode == 0) {
        // Nobody to join: start the ad-hoc network ourselves.
        wifi::Mac own = StationAddress();
        station_.bssid = own;
        station_.bssid[0] = static_cast<std::uint8_t>((own[0] | 0x02) & 0xFE);
        station_.ssid = desired.empty() ? NameFromRecord(records_[rid::kOwnSsid]) : desired;
        station_.channel = OwnChannel();
        station_.beacon_interval = 100;
        station_.capability = static_cast<std::uint16_t>(wifi::kCapIbss | (privacy ? wifi::kCapPrivacy : 0));
        station_.signal = -40;
        station_.ibss_owner = true;
        Joined();
        return;
    }
    Schedule(config_.timing.search_retry, true, [this, generation] { Search(generation); });
}

void Controller::Joined() {
    station_.state = LinkState::kJoined;
    station_.last_beacon = scheduler_.Now();
    std::uint16_t code = kLinkConnected;
    if (station_.lost) code = station_.bssid == station_.lost_bssid ? kLinkBackInRange : kLinkApChanged;
    station_.lost = false;
    UpdateLinkRecords();
    ReportLink(code);
    std::uint64_t generation = station_.generation;
    if (station_.ibss_owner) {
        BeaconIbss(generation);
    } else if (NetworkModeSetting() == 1) {
        Schedule(static_cast<Micros>(station_.beacon_interval) * 1024, true, [this, generation] { WatchBeacons(generation); });
    }
}

void Controller::WatchBeacons(std::uint64_t generation) {
    if (generation != station_.generation || station_.state != LinkState::kJoined) return;
    Micros interval = static_cast<Micros>(station_.beacon_interval) * 1024;
    if (scheduler_.Now() - station_.last_beacon > config_.timing.beacon_loss * interval) {
        LinkLost(kLinkOutOfRange, true);
        return;
    }
    Schedule(interval, true, [this, generation] { WatchBeacons(generation); });
}

void Controller::LinkLost(std::uint16_t code, bool out_of_range) {
    station_.lost = out_of_range;
    station_.lost_bssid = station_.bssid;
    station_.state = LinkState::kSearching;
    std::uint64_t generation = ++station_.generation;
    ReportLink(code);
    Schedule(config_.timing.search_retry, true, [this, generation] { Search(generation); });
}

void Controller::BeaconIbss(std::uint64_t generation) {
    if (generation != station_.generation || station_.state != LinkState::kJoined || air_ == nullptr) return;
    wifi::Header h;
    h.frame_control = wifi::FrameControl(wifi::kTypeManagement, wifi::kSubBeacon);
    h.addr1 = wifi::kBroadcast;
    h.addr2 = StationAddress();
    h.addr3 = station_.bssid;
    h.sequence_control = static_cast<std::uint16_t>((tx_sequence_++ & 0x0FFF) << 4);
    wifi::Bytes frame = wifi::Build(h, wifi::BeaconBody(scheduler_.Now(), station_.beacon_interval, station_.capability,
                                                        station_.ssid, station_.channel));
    air_->Send(radio_id_, station_.channel, frame, air::Air::Airtime(frame.size(), 2000, false));
    Schedule(static_cast<Micros>(station_.beacon_interval) * 1024, true, [this, generation] { BeaconIbss(generation); });
}

std::optional<air::Network> Controller::Advertised() const {
    if (!Listening() || station_.state != LinkState::kJoined || !station_.ibss_owner) return std::nullopt;
    air::Network n;
    n.bssid = station_.bssid;
    n.ssid = station_.ssid;
    n.channel = station_.channel;
    n.beacon_interval = station_.beacon_interval;
    n.capability = station_.capability;
    return n;
}

void Controller::SendManagement(std::uint16_t subtype, const wifi::Mac& to, const wifi::Bytes& body) {
    if (air_ == nullptr) return;
    wifi::Header h;
    h.frame_control = wifi::FrameControl(wifi::kTypeManagement, subtype);
    h.addr1 = to;
    h.addr2 = StationAddress();
    h.addr3 = station_.bssid;
    h.sequence_control = static_cast<std::uint16_t>((tx_sequence_++ & 0x0FFF) << 4);
    wifi::Bytes frame = wifi::Build(h, body);
    air_->Send(radio_id_, station_.channel, frame, air::Air::Airtime(frame.size(), 2000, false));
}

// Link records follow the network joined; the link quality follows the signal.
void Controller::UpdateLinkRecords() {
    records_[rid::kCurrentSsid] = NameRecord(rid::kCurrentSsid, station_.ssid);
    std::vector<std::uint16_t> bssid = {4, rid::kCurrentBssid};
    for (int i = 0; i < 3; ++i) {
        bssid.push_back(static_cast<std::uint16_t>(station_.bssid[2 * i] | station_.bssid[2 * i + 1] << 8));
    }
    records_[rid::kCurrentBssid] = bssid;
    records_[rid::kCurrentChannel] = {2, rid::kCurrentChannel, static_cast<std::uint16_t>(station_.channel)};
    OnRecordAccess(rid::kLinkQuality);
}

void Controller::OnRecordAccess(std::uint16_t rid) {
    if (rid != rid::kLinkQuality || station_.state != LinkState::kJoined) return;
    int dbm = station_.signal;
    std::uint16_t quality = static_cast<std::uint16_t>(std::clamp(dbm + 95, 0, 92));
    std::uint16_t signal = static_cast<std::uint16_t>(std::clamp(dbm + 149, 0, 255));
    records_[rid::kLinkQuality] = {4, rid::kLinkQuality, quality, signal, 0x0012};
}

std::uint16_t Controller::OnRecordWritten(std::uint16_t rid) {
    if (rid == rid::kScanRequest) {
        // Only newer firmware has this record; it answers with host scan results.
        Schedule(config_.timing.scan, true, [this] { QueueInfoFrame(ScanFrame(info::kHostScan, 64)); });
    }
    return result::kOk;
}

std::uint16_t Controller::OnInquire(std::uint16_t type) {
    if (type != info::kScan) return result::kBadParameter;
    Schedule(config_.timing.scan, true, [this] { QueueInfoFrame(ScanFrame(info::kScan, 62)); });
    return result::kOk;
}

// A scan-results information frame: length, type, two words, then one entry
// per network heard on any channel.
std::vector<std::uint16_t> Controller::ScanFrame(std::uint16_t type, std::size_t entry_size) const {
    std::vector<std::uint8_t> bytes(8, 0);
    if (air_ != nullptr) {
        for (const air::Sighting& s : air_->Survey(radio_id_)) {
            std::vector<std::uint8_t> e(entry_size, 0);
            Put16(e, 0, static_cast<std::uint16_t>(s.network.channel));
            Put16(e, 2, 0x0012);
            if (config_.newer_firmware) {
                e[4] = static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(s.signal_dbm, -128, 127)));
            } else {
                e[4] = static_cast<std::uint8_t>(std::clamp(s.signal_dbm + 164, 1, 255));
            }
            std::copy(s.network.bssid.begin(), s.network.bssid.end(), e.begin() + 6);
            Put16(e, 12, s.network.beacon_interval);
            Put16(e, 14, s.network.capability);
            std::size_t n = std::min<std::size_t>(s.network.ssid.size(), 32);
            Put16(e, 16, static_cast<std::uint16_t>(n));
            std::copy(s.network.ssid.begin(), s.network.ssid.begin() + static_cast<std::ptrdiff_t>(n), e.begin() + 18);
            const std::uint8_t rates[4] = {0x82, 0x84, 0x8B, 0x96};
            std::copy(rates, rates + 4, e.begin() + 50);
            bytes.insert(bytes.end(), e.begin(), e.end());
        }
    }
    std::vector<std::uint16_t> words(bytes.size() / 2);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = Get16(bytes, 2 * i);
    words[0] = static_cast<std::uint16_t>(words.size() - 1);
    words[1] = type;
    return words;
}

// --- receiving --------------------------------------------------------------------------

void Controller::InjectFrame(const wifi::Bytes& frame, int signal_dbm) { OnFrame(frame, signal_dbm, -1); }

void Controller::InjectReceiveBuffer(std::vector<std::uint8_t> buffer) {
    QueueReceivedFrame(AllocateFrame(std::move(buffer), false));
}

void Controller::OnFrame(const wifi::Bytes& frame, int signal_dbm, int from) {
    (void)from;
    if (!Listening()) return;
    auto parsed = wifi::Parse(frame);
    if (!parsed) {
        ++counters_.dropped;
        return;
    }
    auto& [h, body] = *parsed;
    if (monitor_mode_) {
        QueueReceive(h, body, false);  // every frame of the channel, as it was
        return;
    }
    if (h.type() == wifi::kTypeManagement) {
        HandleManagement(h, body, signal_dbm);
    } else if (h.type() == wifi::kTypeData) {
        HandleData(h, body);
    }
}

void Controller::HandleManagement(const wifi::Header& h, const wifi::Bytes& body, int signal_dbm) {
    wifi::Mac own = StationAddress();
    switch (h.subtype()) {
        case wifi::kSubBeacon:
            if (station_.state == LinkState::kJoined && h.addr3 == station_.bssid) {
                station_.last_beacon = scheduler_.Now();
                station_.signal = signal_dbm;
            }
            return;
        case wifi::kSubAuth:
            if (station_.state != LinkState::kAuthenticating || h.addr1 != own || h.addr2 != station_.bssid) return;
            if (body.size() < 6) return;
            if (Get16(body, 4) != 0) {
                LinkLost(kLinkAssociationFailed, false);
                return;
            }
            station_.state = LinkState::kAssociating;
            SendManagement(wifi::kSubAssocRequest, station_.bssid,
                           wifi::AssocRequestBody(static_cast<std::uint16_t>(wifi::kCapEss | ((WepFlags() & 1) ? wifi::kCapPrivacy : 0)),
                                                  station_.ssid));
            return;
        case wifi::kSubAssocResponse:
            if (station_.state != LinkState::kAssociating || h.addr1 != own || h.addr2 != station_.bssid) return;
            if (body.size() < 6) return;
            if (Get16(body, 2) != 0) {
                LinkLost(kLinkAssociationFailed, false);
                return;
            }
            Joined();
            return;
        case wifi::kSubDeauth:
        case wifi::kSubDisassoc:
            if (station_.state == LinkState::kJoined && h.addr1 == own && h.addr2 == station_.bssid) {
                LinkLost(kLinkDisconnected, false);
            }
            return;
        default:
            return;
    }
}

void Controller::HandleData(wifi::Header h, const wifi::Bytes& body) {
    if (station_.state != LinkState::kJoined) {
        ++counters_.dropped;
        return;
    }
    wifi::Mac own = StationAddress();
    bool to_us = h.addr1 == own || wifi::IsGroup(h.addr1);
    bool accept;
    switch (NetworkModeSetting()) {
        case 1: accept = h.from_ds() && !h.to_ds() && h.addr2 == station_.bssid && to_us; break;
        case 0: accept = !h.from_ds() && !h.to_ds() && h.addr3 == station_.bssid && to_us; break;
        default: accept = !h.from_ds() && !h.to_ds() && to_us; break;
    }
    if (!accept) {
        ++counters_.dropped;
        return;
    }
    // With host decryption every protected frame and fragment goes up as it is.
    if (h.is_protected() && (WepFlags() & 0x80) != 0) {
        QueueReceive(h, body, false);
        return;
    }
    wifi::Bytes plain = body;
    if (h.is_protected()) {
        auto decrypted = wifi::WepDecrypt(Keys(), body);
        if (!decrypted) {
            ++counters_.decrypt_failed;
            return;
        }
        plain = *decrypted;
        h.frame_control &= static_cast<std::uint16_t>(~wifi::kProtected);
    }
    if (h.more_fragments() || h.fragment() != 0) {
        auto key = std::make_pair(h.addr2, h.sequence());
        if (h.fragment() == 0) station_.fragments[key].clear();
        auto it = station_.fragments.find(key);
        if (it == station_.fragments.end()) {
            ++counters_.dropped;  // a later fragment without its first
            return;
        }
        it->second.insert(it->second.end(), plain.begin(), plain.end());
        if (h.more_fragments()) return;
        plain = std::move(it->second);
        station_.fragments.erase(it);
        h.frame_control &= static_cast<std::uint16_t>(~wifi::kMoreFragments);
        h.sequence_control &= 0xFFF0;
    }
    QueueReceive(h, plain, true);
}

// Hands a frame to the host: the 60-byte descriptor, then the data.
void Controller::QueueReceive(const wifi::Header& h, const wifi::Bytes& data, bool recognise_snap) {
    std::vector<std::uint8_t> b(60 + data.size(), 0);
    std::uint16_t status = 0;
    if (recognise_snap && !h.is_protected()) {
        if (StartsWith(data, wifi::kSnapRfc1042, 6)) status = 0x2000;
        if (StartsWith(data, wifi::kSnapBridgeTunnel, 6)) status = 0x4000;
    }
    Put16(b, 0, status);
    Put16(b, 14, h.frame_control);
    Put16(b, 16, h.duration);
    std::copy(h.addr1.begin(), h.addr1.end(), b.begin() + 18);
    std::copy(h.addr2.begin(), h.addr2.end(), b.begin() + 24);
    std::copy(h.addr3.begin(), h.addr3.end(), b.begin() + 30);
    Put16(b, 36, h.sequence_control);
    Put16(b, 44, static_cast<std::uint16_t>(data.size()));
    wifi::Mac destination = h.Destination();
    wifi::Mac source = h.Source();
    std::copy(destination.begin(), destination.end(), b.begin() + 46);
    std::copy(source.begin(), source.end(), b.begin() + 52);
    b[58] = static_cast<std::uint8_t>(data.size() >> 8);
    b[59] = static_cast<std::uint8_t>(data.size() & 0xFF);
    std::copy(data.begin(), data.end(), b.begin() + 60);
    ++counters_.received;
    ++tallies_[1];
    QueueReceivedFrame(AllocateFrame(std::move(b), false));
}

// --- transmitting ------------------------------------------------------------------------

std::uint16_t Controller::OnTransmit(std::uint16_t fid, bool reclaim) {
    const std::vector<std::uint8_t>& b = frames_[fid].bytes;
    std::uint16_t control = Get16(b, 12);
    wifi::Mac destination, source;
    std::copy(b.begin() + 46, b.begin() + 52, destination.begin());
    std::copy(b.begin() + 52, b.begin() + 58, source.begin());
    std::size_t length = static_cast<std::size_t>(b[58] << 8 | b[59]);
    if (60 + length > b.size()) {
        ProtocolError("transmit of buffer " + std::to_string(fid) + " announces " + std::to_string(length) +
                      " data bytes, more than the buffer holds");
        length = b.size() - 60;
    }
    wifi::Bytes data(b.begin() + 60, b.begin() + 60 + static_cast<std::ptrdiff_t>(length));

    bool joined = port_enabled_ && !monitor_mode_ && station_.state == LinkState::kJoined && air_ != nullptr;
    bool ok = joined;
    if (faults_.fail_transmissions > 0) {
        --faults_.fail_transmissions;
        ok = false;
    }
    Micros now = scheduler_.Now();
    Micros done = now + config_.timing.command_default;
    if (joined) {
        wifi::Header h;
        h.frame_control = wifi::FrameControl(wifi::kTypeData, 0);
        h.addr2 = StationAddress();
        if (NetworkModeSetting() == 1) {
            h.frame_control |= wifi::kToDs;
            h.addr1 = station_.bssid;
            h.addr3 = destination;
        } else {
            h.addr1 = destination;
            h.addr3 = station_.bssid;
        }
        h.sequence_control = static_cast<std::uint16_t>((tx_sequence_++ & 0x0FFF) << 4);
        std::uint16_t flags = WepFlags();
        bool clear = (control & 0x0080) != 0;  // EAPOL while WEP is on
        wifi::Bytes body = data;
        if ((flags & 1) && !clear) {
            if ((flags & 0x10) == 0) {
                int index = RecordWord(rid::kDefaultKeyId, 0, 0) & 3;
                body = wifi::WepEncrypt(Keys()[static_cast<std::size_t>(index)], wep_iv_++ & 0xFFFFFF, index, data);
            }
            h.frame_control |= wifi::kProtected;
        }
        wifi::Bytes frame = wifi::Build(h, body);
        Micros start = std::max(now, tx_busy_until_);
        done = start + air::Air::Airtime(frame.size(), RateKbps(), RecordWord(rid::kShortPreamble, 0, 0) != 0);
        tx_busy_until_ = done;
        bool heard = wifi::IsGroup(h.addr1) || air_->Reachable(radio_id_, h.addr1, station_.channel);
        ok = ok && heard;
        air_->Send(radio_id_, station_.channel, std::move(frame), done - now);
    }
    transmitted_fids_.push_back(fid);
    Schedule(done - now, true, [this, fid, reclaim, ok] {
        if (ok) {
            ++counters_.transmitted;
            ++tallies_[0];
        } else {
            ++counters_.transmit_failed;
            ++tallies_[2];
        }
        if (faults_.hold_transmissions) {
            held_.push_back(Held{fid, reclaim, ok, false});
            return;
        }
        if (faults_.hold_tx_status) {
            held_.push_back(Held{fid, false, ok, true});
            if (reclaim) QueueAllocEvent(fid);
            return;
        }
        FinishTransmission(fid, reclaim, ok);
    });
    return result::kOk;
}

void Controller::FinishTransmission(std::uint16_t fid, bool reclaim, bool ok) {
    QueueTxCompletion(fid, ok);
    if (reclaim) QueueAllocEvent(fid);
}

void Controller::ReleaseHeldTransmissions() {
    std::vector<Held> held = std::move(held_);
    held_.clear();
    for (const Held& h : held) FinishTransmission(h.fid, h.reclaim && !h.status_only, h.ok);
}

}  // namespace card
