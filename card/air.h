// The radio medium: every frame sent on a channel reaches every other radio
// listening on that channel when its air time has passed, with the signal of
// that link. Radios that advertise a network (access points, IBSS members)
// can be surveyed by a scanning station. Everything sent is captured for a
// pcap file of link type 105 (802.11 without FCS).
#ifndef MIREL_CARD_AIR_H
#define MIREL_CARD_AIR_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "card/ieee80211.h"
#include "sim/scheduler.h"

namespace air {

using sim::Micros;
using wifi::Bytes;
using wifi::Mac;

// A network a radio advertises in its beacons.
struct Network {
    Mac bssid{};
    std::string ssid;
    int channel = 0;
    std::uint16_t beacon_interval = 100;
    std::uint16_t capability = 0;
};

class Radio {
  public:
    virtual ~Radio() = default;
    virtual int Channel() const = 0;
    virtual bool Listening() const { return true; }
    virtual void OnFrame(const Bytes& frame, int signal_dbm, int from) = 0;
    virtual std::optional<Network> Advertised() const { return std::nullopt; }
    virtual Mac Address() const = 0;
};

struct Transmission {
    Micros time;  // when the frame ended on the air
    int channel;
    int from;
    Bytes frame;
};

struct Sighting {
    Network network;
    int signal_dbm;
    int radio;
};

class Air {
  public:
    static constexpr int kSensitivity = -90;  // weaker links carry nothing

    explicit Air(sim::Scheduler& scheduler) : scheduler_(scheduler) {}
    Air(const Air&) = delete;
    Air& operator=(const Air&) = delete;
    ~Air();

    sim::Scheduler& scheduler() { return scheduler_; }

    // Puts a radio on the air; `signal_dbm` is how strongly others hear it.
    int Attach(Radio* radio, int signal_dbm = -45);
    void Detach(int id);
    // The signal others hear from `id`, and a per-link override.
    void SetSignal(int id, int signal_dbm);
    void SetLinkSignal(int a, int b, int signal_dbm);
    int Signal(int from, int to) const;
    bool InRange(int from, int to) const { return Signal(from, to) >= kSensitivity; }
    int FindByAddress(const Mac& mac) const;  // -1 when no radio has it
    // Whether a unicast frame from `from` on `channel` would be heard (and
    // acknowledged) by the radio with address `to`.
    bool Reachable(int from, const Mac& to, int channel) const;

    // Sends `frame` from radio `from` on `channel`. It is on the air for
    // `airtime` and reaches the others when it ends.
    void Send(int from, int channel, Bytes frame, Micros airtime);
    // Networks `listener` can hear, strongest first.
    std::vector<Sighting> Survey(int listener) const;

    // Time a frame of `bytes` takes at `rate_kbps`, preamble included.
    static Micros Airtime(std::size_t bytes, unsigned rate_kbps, bool short_preamble);

    // Capture of everything sent.
    void SetCapture(bool on) { capture_ = on; }
    const std::vector<Transmission>& Captured() const { return captured_; }
    void ClearCapture() { captured_.clear(); }
    // Writes the capture as a pcap file; returns an error text or "".
    std::string WritePcap(const std::string& path) const;

  private:
    struct Member {
        Radio* radio;
        int signal;
    };
    sim::Scheduler& scheduler_;
    std::map<int, Member> members_;
    std::map<std::pair<int, int>, int> link_signal_;
    int next_id_ = 1;
    bool capture_ = true;
    std::vector<Transmission> captured_;
    std::map<std::uint64_t, sim::Scheduler::EventId> in_flight_;
    std::uint64_t next_token_ = 1;
};

}  // namespace air

#endif  // MIREL_CARD_AIR_H
