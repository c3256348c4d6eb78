#include "card/air.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace air {

Air::~Air() {
    for (auto& [token, id] : in_flight_) scheduler_.Cancel(id);
}

int Air::Attach(Radio* radio, int signal_dbm) {
    int id = next_id_++;
    members_[id] = Member{radio, signal_dbm};
    return id;
}

void Air::Detach(int id) { members_.erase(id); }

void Air::SetSignal(int id, int signal_dbm) {
    auto it = members_.find(id);
    if (it != members_.end()) it->second.signal = signal_dbm;
}

void Air::SetLinkSignal(int a, int b, int signal_dbm) {
    link_signal_[{std::min(a, b), std::max(a, b)}] = signal_dbm;
}

int Air::Signal(int from, int to) const {
    auto link = link_signal_.find({std::min(from, to), std::max(from, to)});
    if (link != link_signal_.end()) return link->second;
    auto it = members_.find(from);
    return it == members_.end() ? -200 : it->second.signal;
}

int Air::FindByAddress(const Mac& mac) const {
    for (const auto& [id, m] : members_) {
        if (m.radio->Address() == mac) return id;
    }
    return -1;
}

bool Air::Reachable(int from, const Mac& to, int channel) const {
    for (const auto& [id, m] : members_) {
        if (id == from || m.radio->Address() != to) continue;
        if (m.radio->Channel() == channel && m.radio->Listening() && InRange(from, id)) return true;
    }
    return false;
}

Micros Air::Airtime(std::size_t bytes, unsigned rate_kbps, bool short_preamble) {
    Micros preamble = short_preamble ? 96 : 192;
    return preamble + (static_cast<Micros>(bytes) * 8 * 1000 + rate_kbps - 1) / rate_kbps;
}

void Air::Send(int from, int channel, Bytes frame, Micros airtime) {
    std::uint64_t token = next_token_++;
    auto id = scheduler_.After(airtime, [this, token, from, channel, frame = std::move(frame)]() {
        in_flight_.erase(token);
        if (capture_) captured_.push_back(Transmission{scheduler_.Now(), channel, from, frame});
        // Snapshot the receivers: a delivery may attach or detach radios.
        std::vector<std::pair<int, Radio*>> receivers;
        for (const auto& [id, m] : members_) {
            if (id != from && m.radio->Channel() == channel && m.radio->Listening()) receivers.emplace_back(id, m.radio);
        }
        for (auto& [id, radio] : receivers) {
            if (members_.count(id) == 0 || !InRange(from, id)) continue;
            radio->OnFrame(frame, Signal(from, id), from);
        }
    });
    in_flight_[token] = id;
}

std::vector<Sighting> Air::Survey(int listener) const {
    std::vector<Sighting> out;
    for (const auto& [id, m] : members_) {
        if (id == listener) continue;
        auto network = m.radio->Advertised();
        if (!network || !InRange(id, listener)) continue;
        out.push_back(Sighting{*network, Signal(id, listener), id});
    }
    std::stable_sort(out.begin(), out.end(), [](const Sighting& a, const Sighting& b) { return a.signal_dbm > b.signal_dbm; });
    return out;
}

std::string Air::WritePcap(const std::string& path) const {
    std::ofstream out(path, std::ios::binary);
    if (!out) return "cannot open " + path + " for writing";
    auto put32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    auto put16 = [&](std::uint16_t v) {
        out.put(static_cast<char>(v & 0xFF));
        out.put(static_cast<char>(v >> 8));
    };
    put32(0xA1B2C3D4u);  // microsecond timestamps
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32(65535);
    put32(105);  // IEEE 802.11 without FCS
    for (const Transmission& t : captured_) {
        put32(static_cast<std::uint32_t>(t.time / 1000000));
        put32(static_cast<std::uint32_t>(t.time % 1000000));
        put32(static_cast<std::uint32_t>(t.frame.size()));
        put32(static_cast<std::uint32_t>(t.frame.size()));
        out.write(reinterpret_cast<const char*>(t.frame.data()), static_cast<std::streamsize>(t.frame.size()));
    }
    out.close();
    if (!out) return "error while writing " + path;
    return "";
}

}  // namespace air
