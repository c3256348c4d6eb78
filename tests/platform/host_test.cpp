// The host's own behaviour: virtual time, timers, the interrupt line and the
// configuration services, seen through a small miniport written here.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "card/controller.h"
#include "platform/hal.h"
#include "platform/host/host.h"
#include "platform/ndis.h"
#include "sim/scheduler.h"

namespace {

struct Probe {
    NDIS_HANDLE handle = nullptr;
    PVOID ports = nullptr;
    NDIS_MINIPORT_INTERRUPT interrupt{};
    NDIS_MINIPORT_TIMER periodic{};
    NDIS_MINIPORT_TIMER once{};
    std::vector<std::string> log;
    sim::Scheduler* clock = nullptr;
    bool claim = true;
    bool request_isr = true;
};
Probe* g_probe = nullptr;

void Note(const std::string& what) { g_probe->log.push_back(what + "@" + std::to_string(g_probe->clock->Now())); }
void Write(USHORT offset, USHORT value) {
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(reinterpret_cast<ULONG_PTR>(g_probe->ports) + offset), value);
}

NDIS_STATUS ProbeInitialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE handle, NDIS_HANDLE) {
    *selected = 0;
    g_probe->handle = handle;
    NdisMSetAttributesEx(handle, g_probe, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceIsa);
    NdisMRegisterIoPortRange(&g_probe->ports, handle, 0x300, 64);
    NdisMRegisterInterrupt(&g_probe->interrupt, handle, 10, 10, g_probe->request_isr, TRUE, NdisInterruptLevelSensitive);
    return NDIS_STATUS_SUCCESS;
}
VOID ProbeHalt(NDIS_HANDLE) {
    NdisMDeregisterInterrupt(&g_probe->interrupt);
    NdisMDeregisterIoPortRange(g_probe->handle, 0x300, 64, g_probe->ports);
}
VOID ProbeIsr(PBOOLEAN recognized, PBOOLEAN queue, NDIS_HANDLE) {
    Note("isr");
    *recognized = g_probe->claim;
    *queue = g_probe->claim;
    if (g_probe->claim) Write(card::reg::kIntEnable, 0);
}
VOID ProbeDisable(NDIS_HANDLE) {
    Note("disable");
    Write(card::reg::kIntEnable, 0);
}
VOID ProbeHandle(NDIS_HANDLE) {
    Note("dpc");
    Write(card::reg::kEventAck, 0xFFFF);
}
VOID ProbeEnable(NDIS_HANDLE) {
    Note("enable");
    Write(card::reg::kIntEnable, 0x208F);
}
NDIS_STATUS ProbeQuery(NDIS_HANDLE, NDIS_OID oid, PVOID, ULONG, PULONG written, PULONG) {
    *written = 0;
    if (oid == 1) {  // stall 100 us while the card raises an event after 40 us
        Note("stall");
        KeStallExecutionProcessor(100);
        Note("stalled");
    }
    return NDIS_STATUS_SUCCESS;
}
NDIS_STATUS ProbeSet(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return NDIS_STATUS_INVALID_OID; }
NDIS_STATUS ProbeReset(PBOOLEAN, NDIS_HANDLE) { return NDIS_STATUS_SUCCESS; }
VOID ProbeSend(NDIS_HANDLE, PPNDIS_PACKET, UINT) {}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    NDIS_HANDLE wrapper;
    NdisInitializeWrapper(&wrapper, driver, path, nullptr);
    NDIS_MINIPORT_CHARACTERISTICS c;
    std::memset(&c, 0, sizeof c);
    c.MajorNdisVersion = 4;
    c.InitializeHandler = ProbeInitialize;
    c.HaltHandler = ProbeHalt;
    c.ISRHandler = ProbeIsr;
    c.DisableInterruptHandler = ProbeDisable;
    c.HandleInterruptHandler = ProbeHandle;
    c.EnableInterruptHandler = ProbeEnable;
    c.QueryInformationHandler = ProbeQuery;
    c.SetInformationHandler = ProbeSet;
    c.ResetHandler = ProbeReset;
    c.SendPacketsHandler = ProbeSend;
    return NdisMRegisterMiniport(wrapper, &c, sizeof c);
}

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        probe_.clock = &scheduler_;
        g_probe = &probe_;
        host_.SetViolationHandler([](const host::Violation& v) { ADD_FAILURE() << host::RuleName(v.rule) << ": " << v.message; });
        host_.AttachDevice(0x300, 64, &card_, 10);
        ASSERT_EQ(host_.LoadDriver(ProbeEntry), NDIS_STATUS_SUCCESS);
        adapter_ = host_.AddAdapter(host::AdapterSetup{});
    }
    void Start() {
        ASSERT_EQ(host_.Initialize(adapter_), NDIS_STATUS_SUCCESS);
        host_.CallAsDriver(adapter_, [] { Write(card::reg::kIntEnable, 0x208F); });
    }
    void TearDown() override {
        if (host_.Running(adapter_)) host_.Halt(adapter_);
        g_probe = nullptr;
    }

    Probe probe_;
    sim::Scheduler scheduler_;
    card::Controller card_{scheduler_};
    host::Host host_{scheduler_};
    int adapter_ = -1;
};

TEST_F(HostTest, InterruptDuringAStallRunsTheIsrThenTheDpcAfterTheHandlerReturns) {
    Start();
    scheduler_.At(scheduler_.Now() + 40, [&] { card_.RaiseEvents(card::ev::kBit13); });
    sim::Micros t0 = scheduler_.Now();
    host_.Query(adapter_, 1, 0);
    std::vector<std::string> expected = {"stall@" + std::to_string(t0), "isr@" + std::to_string(t0 + 40),
                                         "stalled@" + std::to_string(t0 + 100), "dpc@" + std::to_string(t0 + 100),
                                         "enable@" + std::to_string(t0 + 100)};
    EXPECT_EQ(probe_.log, expected);
    EXPECT_EQ(host_.DpcCount(adapter_), 1u);
}

TEST_F(HostTest, WithoutAnIsrTheInterruptIsDisabledAndTheDpcQueued) {
    probe_.request_isr = false;
    Start();
    card_.RaiseEvents(card::ev::kBit13);
    host_.RunFor(1);
    ASSERT_EQ(probe_.log.size(), 3u);
    EXPECT_EQ(probe_.log[0].substr(0, 7), "disable");
    EXPECT_EQ(probe_.log[1].substr(0, 3), "dpc");
    EXPECT_EQ(probe_.log[2].substr(0, 6), "enable");
}

TEST_F(HostTest, AnUnclaimedInterruptIsNotDeliveredAgainUntilTheLineDrops) {
    probe_.claim = false;
    Start();
    card_.RaiseEvents(card::ev::kBit13);
    host_.RunFor(1000);
    EXPECT_EQ(host_.IsrCalls(adapter_).size(), 1u);
    EXPECT_FALSE(host_.IsrCalls(adapter_)[0].recognized);
    card_.RaiseEvents(0);
    host_.CallAsDriver(adapter_, [] { Write(card::reg::kEventAck, 0xFFFF); });
    card_.RaiseEvents(card::ev::kBit13);
    host_.RunFor(1);
    EXPECT_EQ(host_.IsrCalls(adapter_).size(), 2u);
}

TEST_F(HostTest, TimersRunOnTheVirtualClock) {
    Start();
    static std::vector<sim::Micros> periodic, once;
    periodic.clear();
    once.clear();
    host_.CallAsDriver(adapter_, [] {
        NdisMInitializeTimer(&g_probe->periodic, g_probe->handle,
                             [](PVOID, PVOID, PVOID, PVOID) { periodic.push_back(g_probe->clock->Now()); }, nullptr);
        NdisMInitializeTimer(&g_probe->once, g_probe->handle,
                             [](PVOID, PVOID, PVOID, PVOID) { once.push_back(g_probe->clock->Now()); }, nullptr);
        NdisMSetPeriodicTimer(&g_probe->periodic, 1);  // milliseconds
        NdisMSetTimer(&g_probe->once, 3);
    });
    sim::Micros t0 = scheduler_.Now();
    host_.RunFor(4500);
    EXPECT_EQ(periodic, (std::vector<sim::Micros>{t0 + 1000, t0 + 2000, t0 + 3000, t0 + 4000}));
    EXPECT_EQ(once, (std::vector<sim::Micros>{t0 + 3000}));
    BOOLEAN cancelled = 7;
    host_.CallAsDriver(adapter_, [&] { NdisMCancelTimer(&g_probe->once, &cancelled); });
    EXPECT_EQ(cancelled, FALSE) << "a one-shot timer that fired is no longer armed";
    host_.CallAsDriver(adapter_, [&] { NdisMCancelTimer(&g_probe->periodic, &cancelled); });
    EXPECT_EQ(cancelled, TRUE);
    host_.RunFor(5000);
    EXPECT_EQ(periodic.size(), 4u);
    EXPECT_EQ(host_.ArmedTimers(adapter_), 0u);
}

TEST_F(HostTest, LongWaitsTakeVirtualTimeOnly) {
    Start();
    auto wall = std::chrono::steady_clock::now();
    sim::Micros t0 = scheduler_.Now();
    host_.CallAsDriver(adapter_, [] {
        for (int i = 0; i < 300000; ++i) KeStallExecutionProcessor(5);  // 1.5 s of polling
    });
    EXPECT_EQ(scheduler_.Now() - t0, 1500000u);
    EXPECT_LT(std::chrono::steady_clock::now() - wall, std::chrono::seconds(2));
}

TEST_F(HostTest, PortsAreMappedAwayFromTheirPhysicalAddress) {
    Start();
    auto ranges = host_.PortRanges(adapter_);
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].initial_port, 0x300u);
    EXPECT_NE(ranges[0].mapped, 0x300u);
    card_.ClearTrace();
    host_.CallAsDriver(adapter_, [] { Write(card::reg::kSwSupport0, 0x7D37); });
    ASSERT_EQ(card_.Trace().size(), 1u);
    EXPECT_EQ(card_.Trace()[0].offset, card::reg::kSwSupport0);
}

TEST_F(HostTest, PoolMemoryIsNotZeroed) {
    Start();
    host_.CallAsDriver(adapter_, [] {
        PVOID p;
        ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 16, 0x20202020u), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(static_cast<UCHAR*>(p)[0], 0xCD);
        NdisFreeMemory(p, 16, 0);
    });
}

TEST(Registry, ReadsConvertLikeNdis) {
    host::Registry r;
    r.SetText("Decimal", "42").SetText("Hex", "2A").SetNumber("Dword", 7).SetText("Text", "abc");
    struct Case {
        const char* keyword;
        NDIS_PARAMETER_TYPE type;
        NDIS_STATUS status;
        std::uint32_t integer;
        std::string text;
    } cases[] = {
        {"decimal", NdisParameterInteger, NDIS_STATUS_SUCCESS, 42, ""},
        {"HEX", NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 0x2A, ""},
        {"Hex", NdisParameterInteger, NDIS_STATUS_FAILURE, 0, ""},
        {"Dword", NdisParameterString, NDIS_STATUS_SUCCESS, 0, "7"},
        {"Dword", NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 7, ""},
        {"Text", NdisParameterString, NDIS_STATUS_SUCCESS, 0, "abc"},
        {"Text", NdisParameterInteger, NDIS_STATUS_FAILURE, 0, ""},
        {"Missing", NdisParameterString, NDIS_STATUS_FAILURE, 0, ""},
    };
    for (const Case& c : cases) {
        auto read = r.Get(c.keyword, c.type);
        EXPECT_EQ(read.status, c.status) << c.keyword;
        EXPECT_EQ(read.integer, c.integer) << c.keyword;
        EXPECT_EQ(host::AsciiFromUtf16(read.text), c.text) << c.keyword;
    }
}

}  // namespace
