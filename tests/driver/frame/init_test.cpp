// Adapter initialization through the host: what a successful start leaves
// behind, and every way it can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

class InitTest : public World {
  protected:
    std::size_t CommandCount(std::uint16_t code) const {
        std::size_t n = 0;
        for (const auto& c : card_->Commands()) n += c.code == code ? 1 : 0;
        return n;
    }
};

TEST_F(InitTest, SuccessLeavesTheControllerConfiguredAndTheMonitorTicking) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    PADAPTER a = A();
    EXPECT_EQ(host_->SelectedMedium(adapter_), 0u);
    const auto& attributes = host_->AttributesOf(adapter_);
    EXPECT_EQ(attributes.flags, 0x60u);
    EXPECT_EQ(attributes.interface_type, NdisInterfaceIsa);
    EXPECT_EQ(attributes.check_for_hang_seconds, 0u);
    ASSERT_TRUE(host_->Interrupt(adapter_).has_value());
    EXPECT_EQ(host_->Interrupt(adapter_)->vector, 10u);
    EXPECT_EQ(host_->Interrupt(adapter_)->level, 10u);
    EXPECT_TRUE(host_->Interrupt(adapter_)->request_isr);
    EXPECT_TRUE(host_->Interrupt(adapter_)->shared);
    EXPECT_TRUE(host_->ShutdownHandlerRegistered(adapter_));
    auto memory = host_->Memory(adapter_);
    ASSERT_EQ(memory.size(), 1u);
    EXPECT_EQ(memory[0].tag, "MRND");
    EXPECT_EQ(memory[0].size, sizeof(ADAPTER));
    // The controller
    EXPECT_EQ(card_->SwSupport0(), CARD_SIGNATURE);
    EXPECT_EQ(card_->InterruptMask(), INT_ENABLE_MASK);
    EXPECT_TRUE(card_->PortEnabled());
    EXPECT_EQ(card_->AllocatedTxBuffers(), 4u);
    EXPECT_EQ(a->TxFreeCount, 3);
    EXPECT_EQ(a->SpareTxFree, 1);
    EXPECT_NE(a->SpareTxFid, 0);
    EXPECT_EQ(card_->RecordWrites(RID_FCE0), 1u) << "the whole configuration was pushed";
    // The Adapter
    EXPECT_EQ(a->CurrentLookahead, 1508u);
    EXPECT_EQ(a->MaxMulticastList, 32);
    EXPECT_EQ(a->ScanState, SCAN_STARTED);
    EXPECT_EQ(a->LinkState, 0);
    EXPECT_EQ(a->MediaDisconnected, 1u);
    EXPECT_EQ(a->CurrentChannel, 10u);
    EXPECT_TRUE(host_->StatusIndications(adapter_).empty()) << "NDIS is told nothing yet";
    // The link monitor ticks every second.
    auto timers = host_->Timers(adapter_);
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_TRUE(timers[0].armed);
    EXPECT_EQ(timers[0].period, 1'000'000u);
    RunFor(3'500'000);
    EXPECT_EQ(A()->TickCount, 3u);
}

TEST_F(InitTest, TheLaterOfTwoEthernetMediaIsChosen) {
    Build();
    ASSERT_EQ(host_->LoadDriver(DriverEntry), NDIS_STATUS_SUCCESS);
    host::AdapterSetup setup;
    setup.registry = registry_;
    setup.media = {NdisMedium802_5, NdisMedium802_3, NdisMediumFddi, NdisMedium802_3, NdisMediumWan};
    adapter_ = host_->AddAdapter(setup);
    ASSERT_EQ(host_->Initialize(adapter_), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host_->SelectedMedium(adapter_), 3u);
}

TEST_F(InitTest, RadioDisabledStillGetsItsBuffers) {
    registry_.SetNumber("RadioDisable", 1);
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(card_->PortEnabled());
    EXPECT_EQ(CommandCount(CMD_ENABLE), 0u);
    EXPECT_EQ(CommandCount(CMD_DISABLE), 1u);
    EXPECT_EQ(card_->AllocatedTxBuffers(), 4u);
    EXPECT_EQ(card_->InterruptMask(), INT_ENABLE_MASK);
}

TEST_F(InitTest, AControllerAskingForItStartsWithAnEmptyDesiredName) {
    struct Case {
        std::uint16_t fd0d_word2;
        ULONG mode;
        USHORT scan_state;
        bool empty_written;
    } cases[] = {{0, 1, SCAN_EMPTY_SSID, true}, {1, 0, SCAN_EMPTY_SSID, true}, {2, 1, SCAN_STARTED, false},
                 {0, 3, SCAN_STARTED, false}};
    for (const Case& c : cases) {
        Reset();
        config_.fd0d_word2 = c.fd0d_word2;
        registry_.SetNumber("NetworkMode", c.mode).SetText("ESSID", "home");
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(A()->ScanState, c.scan_state) << c.fd0d_word2 << "/" << c.mode;
        EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), c.empty_written ? "" : "home");
        EXPECT_EQ(card_->RecordWrites(RID_DESIRED_SSID), c.empty_written ? 2u : 1u);
        Halt();
    }
}

TEST_F(InitTest, PolledOperationStartsFiftyTimersTwentyMicrosecondsApart) {
    for (const char* value : {"1", "2"}) {  // any value other than 0 asks for polling
        Reset();
        registry_.SetText("PollInDriver", value);
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS) << value;
        EXPECT_FALSE(host_->InterruptRegistered(adapter_));
        auto timers = host_->Timers(adapter_);
        std::vector<sim::Micros> dues;
        for (const auto& t : timers) {
            if (t.period == 1000) dues.push_back(t.due);
        }
        ASSERT_EQ(dues.size(), 50u) << value;
        std::sort(dues.begin(), dues.end());
        for (std::size_t i = 1; i < dues.size(); ++i) EXPECT_EQ(dues[i] - dues[i - 1], 20u);
        EXPECT_EQ(A()->PollInDriver, 1u);
        // Polled, the adapter still services its events: it connects.
        Halt();
    }
}

TEST_F(InitTest, PolledAdapterServicesItsEvents) {
    registry_.SetNumber("PollInDriver", 1);
    StartConnected();
    EXPECT_TRUE(MediaConnected());
    EXPECT_TRUE(host_->IsrCalls(adapter_).empty());
}

TEST_F(InitTest, EveryFailureExitReleasesWhatItTook) {
    struct Case {
        const char* name;
        std::function<void(InitTest&, host::AdapterSetup&)> arrange;
        NDIS_STATUS status;
        std::vector<NDIS_ERROR_CODE> log;
    } cases[] = {
        {"no 802.3 medium", [](InitTest&, host::AdapterSetup& s) { s.media = {NdisMedium802_5, NdisMediumWan}; },
         NDIS_STATUS_UNSUPPORTED_MEDIA, {}},
        {"no memory", [](InitTest& w, host::AdapterSetup&) { w.host_->FailNextAllocation(NDIS_STATUS_RESOURCES); },
         NDIS_STATUS_RESOURCES, {NDIS_ERROR_CODE_OUT_OF_RESOURCES}},
        {"configuration", [](InitTest&, host::AdapterSetup& s) { s.open_configuration_fails = NDIS_STATUS_FAILURE; },
         NDIS_STATUS_FAILURE, {}},
        {"no IoBaseAddress", [](InitTest&, host::AdapterSetup& s) { s.registry.Remove("IoBaseAddress"); },
         NDIS_STATUS_FAILURE, {}},
        {"port range", [](InitTest& w, host::AdapterSetup&) { w.host_->FailNextPortRegistration(NDIS_STATUS_RESOURCE_CONFLICT); },
         NDIS_STATUS_RESOURCE_CONFLICT, {NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS}},
        {"no card at the address", [](InitTest&, host::AdapterSetup& s) { s.registry.SetText("IoBaseAddress", "280"); },
         NDIS_STATUS_FAILURE, {NDIS_ERROR_CODE_TIMEOUT}},
        {"CMD_INIT times out", [](InitTest& w, host::AdapterSetup&) { w.card_->faults().no_cmd_event = true; },
         NDIS_STATUS_FAILURE, {NDIS_ERROR_CODE_TIMEOUT}},
        {"interrupt", [](InitTest& w, host::AdapterSetup&) { w.host_->FailNextInterruptRegistration(NDIS_STATUS_RESOURCE_CONFLICT); },
         NDIS_STATUS_RESOURCE_CONFLICT, {NDIS_ERROR_CODE_INTERRUPT_CONNECT}},
        {"no EV_ALLOC", [](InitTest& w, host::AdapterSetup&) { w.card_->faults().no_alloc_event = true; },
         NDIS_STATUS_FAILURE, {}},
    };
    for (const Case& c : cases) {
        Reset();
        Build();
        ASSERT_EQ(host_->LoadDriver(DriverEntry), NDIS_STATUS_SUCCESS);
        host::AdapterSetup setup;
        setup.registry = registry_;
        c.arrange(*this, setup);
        adapter_ = host_->AddAdapter(setup);
        sim::Micros start = scheduler_.Now();
        EXPECT_EQ(host_->Initialize(adapter_), c.status) << c.name;
        std::vector<NDIS_ERROR_CODE> codes;
        for (const auto& e : host_->ErrorLog(adapter_)) {
            codes.push_back(e.code);
            EXPECT_EQ(e.values, std::vector<ULONG>{1}) << c.name;
        }
        EXPECT_EQ(codes, c.log) << c.name;
        // The verifier has checked that memory, timers, interrupt, ports,
        // configuration and shutdown handler were all given back.
        EXPECT_EQ(host_->MemoryInUse(adapter_), 0u) << c.name;
        EXPECT_EQ(host_->ArmedTimers(adapter_), 0u) << c.name;
        EXPECT_FALSE(host_->InterruptRegistered(adapter_)) << c.name;
        EXPECT_TRUE(host_->PortRanges(adapter_).empty()) << c.name;
        if (std::string(c.name) == "no EV_ALLOC") {
            EXPECT_GE(scheduler_.Now() - start, 10u * 100'000u) << "ten waits of 100 ms for the first buffer";
            EXPECT_EQ(card_->InterruptMask(), 0);
        }
        if (std::string(c.name) == "interrupt") {
            EXPECT_EQ(card_->InterruptMask(), 0);
        }
        adapter_ = -1;
    }
    expect_protocol_errors_ = true;  // the silent controller leaves commands written while busy
}

}  // namespace
