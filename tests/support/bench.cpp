#include "tests/support/bench.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace mirel_test {

std::string Describe(const card::PortAccess& a) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "t=%llu %s %-12s %04X", static_cast<unsigned long long>(a.time),
                  a.write ? "W" : "R", card::RegisterName(a.offset), a.value);
    return buf;
}

std::string Describe(const std::vector<card::PortAccess>& accesses) {
    std::string s;
    for (const auto& a : accesses) s += Describe(a) + "\n";
    return s;
}

std::vector<std::uint16_t> Trace::WritesTo(std::uint16_t offset) const {
    std::vector<std::uint16_t> out;
    for (const auto& a : accesses) {
        if (a.write && a.offset == offset) out.push_back(a.value);
    }
    return out;
}

std::size_t Trace::Reads(std::uint16_t offset) const {
    return static_cast<std::size_t>(std::count_if(accesses.begin(), accesses.end(), [&](const card::PortAccess& a) {
        return !a.write && a.offset == offset;
    }));
}

std::size_t Trace::Writes(std::uint16_t offset) const { return WritesTo(offset).size(); }

std::vector<std::pair<std::uint16_t, std::uint16_t>> Trace::AllWrites() const {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> out;
    for (const auto& a : accesses) {
        if (a.write) out.emplace_back(a.offset, a.value);
    }
    return out;
}

std::vector<Trace::Command> Trace::Commands() const {
    std::vector<Command> out;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> params;
    for (const auto& a : accesses) {
        if (!a.write) continue;
        if (a.offset == card::reg::kParam0 || a.offset == card::reg::kParam1 || a.offset == card::reg::kParam2) {
            params.emplace_back(a.offset, a.value);
        } else if (a.offset == card::reg::kCommand) {
            out.push_back(Command{a.value, params});
            params.clear();
        }
    }
    return out;
}

VerifierGuard::VerifierGuard(host::Host& host) {
    host.SetViolationHandler([this](const host::Violation& v) {
        if (any_) return;
        auto it = std::find(expected_.begin(), expected_.end(), v.rule);
        if (it != expected_.end()) {
            expected_.erase(it);
            return;
        }
        ADD_FAILURE() << "verifier: " << host::RuleName(v.rule) << ": " << v.message;
    });
}

void HwBench::SetUp() {
    card_ = std::make_unique<card::Controller>(scheduler_, config_);
    host_ = std::make_unique<host::Host>(scheduler_);
    guard_ = std::make_unique<VerifierGuard>(*host_);
    host_->AttachDevice(kPortBase, card::kWindowPorts, card_.get(), kIrq);
    adapter_ = host_->AddAdapter(host::AdapterSetup{});
    Driver([&] {
        PVOID memory = nullptr;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&memory, sizeof(ADAPTER), MIREL_POOL_TAG), NDIS_STATUS_SUCCESS);
        a_ = static_cast<PADAPTER>(memory);
        std::memset(a_, 0, sizeof(ADAPTER));
        a_->MiniportHandle = host_->Handle(adapter_);
        a_->IoBaseAddress = kPortBase;
        PVOID base = nullptr;
        ASSERT_EQ(NdisMRegisterIoPortRange(&base, a_->MiniportHandle, kPortBase, card::kWindowPorts),
                  NDIS_STATUS_SUCCESS);
        a_->IoBase = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(base));
    });
}

void HwBench::TearDown() {
    if (a_ != nullptr) {
        Driver([&] {
            NdisMDeregisterIoPortRange(a_->MiniportHandle, kPortBase, card::kWindowPorts,
                                       reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(a_->IoBase)));
            NdisFreeMemory(a_, sizeof(ADAPTER), 0);
        });
        a_ = nullptr;
    }
    if (!expect_protocol_errors_) {
        for (const auto& e : card_->ProtocolErrors()) ADD_FAILURE() << "controller protocol error: " << e;
    }
    EXPECT_EQ(host_->MemoryInUse(adapter_), 0u);
}

Trace HwBench::Since(std::size_t mark) const {
    const auto& t = card_->Trace();
    return Trace(std::vector<card::PortAccess>(t.begin() + static_cast<std::ptrdiff_t>(mark), t.end()));
}

World::World() {
    registry_.SetText("IoBaseAddress", "300");
    registry_.SetText("InterruptNumber", std::to_string(kIrq));
}

void World::Build() {
    if (host_) return;
    if (!air_) air_ = std::make_unique<air::Air>(scheduler_);
    if (!card_) {
        card_ = std::make_unique<card::Controller>(scheduler_, config_);
        card_->AttachAir(*air_);
    }
    host_ = std::make_unique<host::Host>(scheduler_);
    guard_ = std::make_unique<VerifierGuard>(*host_);
    host_->AttachDevice(kPortBase, card::kWindowPorts, card_.get(), kIrq);
}

void World::Reset() {
    peers_.clear();
    host_.reset();
    guard_.reset();
    card_.reset();
    air_.reset();
    adapter_ = -1;
}

NDIS_STATUS World::Start() {
    Build();
    if (!host_->DriverRegistered()) {
        NTSTATUS status = host_->LoadDriver(DriverEntry);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
    }
    if (adapter_ < 0) {
        host::AdapterSetup setup;
        setup.registry = registry_;
        adapter_ = host_->AddAdapter(setup);
    } else {
        host_->Setup(adapter_).registry = registry_;
    }
    return host_->Initialize(adapter_);
}

void World::Halt() {
    if (host_ && adapter_ >= 0 && host_->Running(adapter_)) host_->Halt(adapter_);
}

void World::TearDown() {
    Halt();
    if (host_ && adapter_ >= 0) {
        EXPECT_EQ(host_->OutstandingPackets(adapter_), 0u) << "packets left uncompleted";
    }
    if (card_ && !expect_protocol_errors_) {
        for (const auto& e : card_->ProtocolErrors()) ADD_FAILURE() << "controller protocol error: " << e;
    }
}

air::AccessPoint& World::AddPeer(air::PeerConfig config) {
    Build();
    peers_.push_back(std::make_unique<air::AccessPoint>(*air_, std::move(config)));
    return *peers_.back();
}

air::AccessPoint& World::StartConnected(air::PeerConfig ap) {
    air::AccessPoint& peer = AddPeer(ap);
    if (!registry_.Has("ESSID")) registry_.SetText("ESSID", ap.ssid);
    EXPECT_EQ(Start(), NDIS_STATUS_SUCCESS);
    RunUntil([&] { return MediaConnected(); }, 3'000'000);
    // The vendor request that follows every connection has gone out.
    RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0 && card_->HeldTransmissions() == 0; }, 100'000);
    host_->RunFor(20'000);
    return peer;
}

std::vector<std::uint8_t> World::LastTransmitBuffer() const {
    auto fids = card_->TransmittedFids();
    if (fids.empty()) return {};
    return card_->Frame(fids.back()).value_or(std::vector<std::uint8_t>{});
}

bool World::RunUntil(const std::function<bool()>& done, sim::Micros limit) {
    bool ok = host_->RunUntil(done, limit);
    EXPECT_TRUE(ok) << "condition not reached within " << limit << " us";
    return ok;
}

bool World::MediaConnected() const {
    auto q = host_->Query(adapter_, OID_GEN_MEDIA_CONNECT_STATUS, 4);
    return q.status == NDIS_STATUS_SUCCESS && q.data[0] == 0;
}

wifi::Ethernet World::FrameToAp(std::uint16_t type, std::size_t payload, std::uint8_t fill) const {
    wifi::Ethernet e;
    e.destination = air::PeerConfig{}.address;
    e.source = StationMac();
    e.type = type;
    e.payload.assign(payload, fill);
    return e;
}

host::PacketId World::Send(const wifi::Ethernet& frame, std::vector<UINT> chunks) {
    return host_->Send(adapter_, {wifi::BuildEthernet(frame)}, {chunks})[0];
}

std::vector<wifi::Ethernet> World::Indicated() const {
    std::vector<wifi::Ethernet> out;
    for (const host::Bytes& f : host_->ReceivedFrames(adapter_)) {
        if (auto e = wifi::ParseEthernet(f)) out.push_back(*e);
    }
    return out;
}

Trace World::Since(std::size_t mark) const {
    const auto& t = card_->Trace();
    return Trace(std::vector<card::PortAccess>(t.begin() + static_cast<std::ptrdiff_t>(mark), t.end()));
}

}  // namespace mirel_test
