// Test fixtures that put the driver in its world: a simulated NDIS host with
// the controller model on its I/O bus. Every verifier violation of the host and
// every register-protocol error the controller records fails the test, unless
// the test declares that it expects them.
#ifndef MIREL_TESTS_SUPPORT_BENCH_H
#define MIREL_TESTS_SUPPORT_BENCH_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card/access_point.h"
#include "card/air.h"
#include "card/controller.h"
#include "card/netstack.h"
#include "driver/mirelnd.h"
#include "platform/host/host.h"
#include "sim/scheduler.h"

namespace mirel_test {

constexpr ULONG kPortBase = 0x300;
constexpr UINT kIrq = 10;

// One port access, printable for failure messages.
std::string Describe(const card::PortAccess& access);
std::string Describe(const std::vector<card::PortAccess>& accesses);

// Views of a controller trace.
struct Trace {
    std::vector<card::PortAccess> accesses;

    explicit Trace(std::vector<card::PortAccess> a) : accesses(std::move(a)) {}
    // Values written to one register, in order.
    std::vector<std::uint16_t> WritesTo(std::uint16_t offset) const;
    std::size_t Reads(std::uint16_t offset) const;
    std::size_t Writes(std::uint16_t offset) const;
    // Writes only, as (offset, value) pairs.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> AllWrites() const;
    // Commands written to REG_COMMAND with the parameters written since the
    // previous command (when any).
    struct Command {
        std::uint16_t code;
        std::vector<std::pair<std::uint16_t, std::uint16_t>> params;  // (register, value)
    };
    std::vector<Command> Commands() const;
};

// Routes verifier violations into test failures.
class VerifierGuard {
  public:
    explicit VerifierGuard(host::Host& host);
    // The next violations of `rule` are expected: they are recorded but do
    // not fail the test.
    void Expect(host::Rule rule) { expected_.push_back(rule); }
    void ExpectAny() { any_ = true; }

  private:
    std::vector<host::Rule> expected_;
    bool any_ = false;
};

// A controller on the bus of a host and a zero-filled Adapter record whose
// ports are registered, for exercising the controller access layer directly.
class HwBench : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs driver code in the host's context for the adapter.
    template <class F>
    void Driver(F&& body) {
        host_->CallAsDriver(adapter_, std::forward<F>(body));
    }
    // Trace from `mark` (an index from Mark()) to now.
    std::size_t Mark() const { return card_->Trace().size(); }
    Trace Since(std::size_t mark) const;

    card::ControllerConfig config_;  // set before SetUp to change the firmware
    bool expect_protocol_errors_ = false;

    sim::Scheduler scheduler_;
    std::unique_ptr<card::Controller> card_;
    std::unique_ptr<host::Host> host_;
    std::unique_ptr<VerifierGuard> guard_;
    int adapter_ = -1;
    PADAPTER a_ = nullptr;
};

// The whole world of one adapter: a host that loaded the driver through
// DriverEntry, the controller on its bus, and the adapter's registry. Tests
// set `registry_` and `config_` before Start().
class World : public ::testing::Test {
  public:  // test bodies and their helpers reach everything
    World();
    void TearDown() override;

    // Creates host and controller (if not yet), loads the driver, adds the
    // adapter and runs MiniportInitialize. Returns its status.
    NDIS_STATUS Start();
    // Creates host and controller without loading anything.
    void Build();
    // Throws the whole world away (peers, host, controller, air) so that the
    // next Start() or Build() begins afresh; registry and config are kept.
    void Reset();
    void Halt();
    PADAPTER A() const { return static_cast<PADAPTER>(host_->Context(adapter_)); }
    std::size_t Mark() const { return card_->Trace().size(); }
    Trace Since(std::size_t mark) const;
    // Runs driver code in the host's context for the adapter.
    template <class F>
    void Driver(F&& body) {
        host_->CallAsDriver(adapter_, std::forward<F>(body));
    }

    // The air and what is on it.
    air::AccessPoint& AddPeer(air::PeerConfig config);
    // Puts `ap` on the air, starts the adapter with ESSID set to its name,
    // and runs until NDIS has been told that the medium is connected.
    air::AccessPoint& StartConnected(air::PeerConfig ap = {});
    // The descriptor and data the driver wrote for its last transmission.
    std::vector<std::uint8_t> LastTransmitBuffer() const;
    wifi::Mac StationMac() const { return card_->StationAddress(); }
    // An Ethernet frame from this station to the lab's access point (the
    // default peer), `payload` bytes of `fill`.
    wifi::Ethernet FrameToAp(std::uint16_t type, std::size_t payload, std::uint8_t fill) const;
    // Runs the host's clock until `done` holds; fails the test after `limit`.
    bool RunUntil(const std::function<bool()>& done, sim::Micros limit = 5'000'000);
    void RunFor(sim::Micros us) { host_->RunFor(us); }
    bool MediaConnected() const;
    // Protocol side: one Ethernet frame through MiniportSendPackets.
    host::PacketId Send(const wifi::Ethernet& frame, std::vector<UINT> chunks = {});
    // Frames indicated to the protocol, as Ethernet frames (header + lookahead).
    std::vector<wifi::Ethernet> Indicated() const;

    host::Registry registry_;
    card::ControllerConfig config_;
    bool expect_protocol_errors_ = false;

    sim::Scheduler scheduler_;
    std::unique_ptr<air::Air> air_;
    std::unique_ptr<card::Controller> card_;
    std::unique_ptr<host::Host> host_;
    std::unique_ptr<VerifierGuard> guard_;
    std::vector<std::unique_ptr<air::AccessPoint>> peers_;
    int adapter_ = -1;
};

}  // namespace mirel_test

#endif  // MIREL_TESTS_SUPPORT_BENCH_H
