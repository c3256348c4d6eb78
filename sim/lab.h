// A simulated lab bench for the driver outside the test framework: a virtual
// clock, the air, one PC Card controller on the I/O bus of an NDIS host that
// loaded mirelnd, and the access points and peers a scenario puts on the air.
// Used by the simulator; tests build the same world with their own fixtures.
#ifndef MIREL_SIM_LAB_H
#define MIREL_SIM_LAB_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "card/access_point.h"
#include "card/air.h"
#include "card/controller.h"
#include "card/netstack.h"
#include "platform/host/host.h"
#include "sim/scheduler.h"

namespace sim {

class Lab {
  public:
    struct Options {
        card::ControllerConfig controller;
        host::Registry registry;
        ULONG port_base = 0x300;
        UINT irq = 10;
    };
    explicit Lab(Options options);
    ~Lab();

    Scheduler& scheduler() { return scheduler_; }
    air::Air& air() { return air_; }
    card::Controller& card() { return *card_; }
    host::Host& host() { return *host_; }
    int adapter() const { return adapter_; }

    air::AccessPoint& AddPeer(air::PeerConfig config);
    NTSTATUS LoadDriver();
    NDIS_STATUS Initialize();
    void Halt();
    bool RunUntil(const std::function<bool()>& done, Micros limit) { return host_->RunUntil(done, limit); }
    void RunFor(Micros us) { host_->RunFor(us); }
    bool MediaConnected();
    host::PacketId Send(const wifi::Ethernet& frame);
    std::vector<wifi::Ethernet> Indicated() const;
    const std::vector<host::Violation>& Violations() const { return host_->Violations(); }

  private:
    Options options_;
    Scheduler scheduler_;
    air::Air air_{scheduler_};
    std::unique_ptr<card::Controller> card_;
    std::unique_ptr<host::Host> host_;
    std::vector<std::unique_ptr<air::AccessPoint>> peers_;
    int adapter_ = -1;
};

}  // namespace sim

#endif  // MIREL_SIM_LAB_H
