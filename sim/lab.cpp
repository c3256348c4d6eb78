#include "sim/lab.h"

#include "driver/mirelnd.h"

namespace sim {

Lab::Lab(Options options) : options_(std::move(options)) {
    card_ = std::make_unique<card::Controller>(scheduler_, options_.controller);
    card_->AttachAir(air_);
    host_ = std::make_unique<host::Host>(scheduler_);
    host_->AttachDevice(options_.port_base, card::kWindowPorts, card_.get(), options_.irq);
}

Lab::~Lab() = default;

air::AccessPoint& Lab::AddPeer(air::PeerConfig config) {
    peers_.push_back(std::make_unique<air::AccessPoint>(air_, std::move(config)));
    return *peers_.back();
}

NTSTATUS Lab::LoadDriver() { return host_->LoadDriver(DriverEntry); }

NDIS_STATUS Lab::Initialize() {
    if (adapter_ < 0) {
        host::AdapterSetup setup;
        setup.registry = options_.registry;
        adapter_ = host_->AddAdapter(setup);
    }
    return host_->Initialize(adapter_);
}

void Lab::Halt() {
    if (adapter_ >= 0 && host_->Running(adapter_)) host_->Halt(adapter_);
}

bool Lab::MediaConnected() {
    auto q = host_->Query(adapter_, OID_GEN_MEDIA_CONNECT_STATUS, 4);
    return q.status == NDIS_STATUS_SUCCESS && q.data[0] == 0;
}

host::PacketId Lab::Send(const wifi::Ethernet& frame) { return host_->Send(adapter_, {wifi::BuildEthernet(frame)})[0]; }

std::vector<wifi::Ethernet> Lab::Indicated() const {
    std::vector<wifi::Ethernet> out;
    for (const host::Bytes& f : host_->ReceivedFrames(adapter_)) {
        if (auto e = wifi::ParseEthernet(f)) out.push_back(*e);
    }
    return out;
}

}  // namespace sim
