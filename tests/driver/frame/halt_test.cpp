// Halt, shutdown and reset.
#include <gtest/gtest.h>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

class HaltTest : public World {
  protected:
    wifi::Ethernet Frame() const { return FrameToAp(0x0800, 80, 0x21); }
    // Five packets: one taken by the controller (waiting for the event loop
    // to complete it), four waiting in the send queue.
    std::vector<host::PacketId> Backlog() {
        card_->faults().hold_transmissions = true;
        auto ids = host_->Send(adapter_, std::vector<host::Bytes>(5, wifi::BuildEthernet(Frame())));
        EXPECT_NE(A()->SendDoneHead, nullptr);
        EXPECT_EQ(A()->SendQueueCount, 4u);
        return ids;
    }
};

TEST_F(HaltTest, HaltCompletesEveryPacketBeforeTheControllerIsDisabled) {
    StartConnected();
    auto ids = Backlog();
    bool port_enabled_at_every_completion = true;
    host_->SetSendCompleteHandler(adapter_, [&](host::PacketId, NDIS_STATUS) {
        port_enabled_at_every_completion = port_enabled_at_every_completion && card_->PortEnabled();
    });
    Halt();
    EXPECT_TRUE(port_enabled_at_every_completion);
    EXPECT_EQ(host_->Packet(ids[0]).status, NDIS_STATUS_SUCCESS) << "taken by the controller";
    for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(host_->Packet(ids[i]).status, NDIS_STATUS_FAILURE);
    // The verifier has checked that nothing is left; the controller is quiet.
    EXPECT_EQ(card_->InterruptMask(), 0);
    EXPECT_FALSE(card_->PortEnabled());
    EXPECT_EQ(host_->MemoryInUse(adapter_), 0u);
    EXPECT_EQ(host_->ArmedTimers(adapter_), 0u);
    EXPECT_FALSE(host_->InterruptRegistered(adapter_));
    EXPECT_FALSE(host_->ShutdownHandlerRegistered(adapter_));
    EXPECT_TRUE(host_->PortRanges(adapter_).empty());
}

TEST_F(HaltTest, HaltUndoesTheKindOfOperationThatWasStarted) {
    struct Case {
        const char* poll;
        std::size_t cancelled_poll_timers;
        bool deregisters_interrupt;
    } cases[] = {{"0", 0, true}, {"1", 50, false}};
    for (const Case& c : cases) {
        Reset();
        registry_.SetText("PollInDriver", c.poll);
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
        host_->ClearCallLog();
        Halt();
        std::size_t cancels = 0, deregistrations = 0;
        for (const auto& call : host_->CallLog()) {
            cancels += call == "NdisMCancelTimer" ? 1 : 0;
            deregistrations += call == "NdisMDeregisterInterrupt" ? 1 : 0;
        }
        EXPECT_EQ(cancels, 1 + c.cancelled_poll_timers) << "PollInDriver " << c.poll;
        EXPECT_EQ(deregistrations, c.deregisters_interrupt ? 1u : 0u) << "PollInDriver " << c.poll;
    }
}

TEST_F(HaltTest, ShutdownQuietsTheControllerCompletesEverythingAndFreesNothing) {
    StartConnected();
    auto ids = Backlog();
    std::size_t mark = Mark();
    host_->Shutdown(adapter_);
    EXPECT_EQ(host_->Packet(ids[0]).status, NDIS_STATUS_SUCCESS);
    for (std::size_t i = 1; i < ids.size(); ++i) EXPECT_EQ(host_->Packet(ids[i]).status, NDIS_STATUS_FAILURE);
    auto commands = Since(mark).Commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].code, CMD_DISABLE);
    EXPECT_EQ(commands[1].code, CMD_INIT) << "left reset";
    EXPECT_EQ(card_->InterruptMask(), 0);
    EXPECT_EQ(host_->ArmedTimers(adapter_), 0u);
    EXPECT_EQ(host_->MemoryInUse(adapter_), sizeof(ADAPTER)) << "nothing is freed";
    EXPECT_TRUE(host_->InterruptRegistered(adapter_));
    // Silent afterwards: no tick, no interrupt, no port access.
    std::uint64_t dpcs = host_->DpcCount(adapter_);
    ULONG ticks = A()->TickCount;
    std::size_t quiet = Mark();
    RunFor(3'000'000);
    EXPECT_EQ(host_->DpcCount(adapter_), dpcs);
    EXPECT_EQ(A()->TickCount, ticks);
    EXPECT_TRUE(Since(quiet).accesses.empty());
    card_->faults().hold_transmissions = false;
}

TEST_F(HaltTest, ShutdownInPolledOperationStopsThePollTimers) {
    registry_.SetNumber("PollInDriver", 1);
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host_->ArmedTimers(adapter_), 51u);
    host_->Shutdown(adapter_);
    EXPECT_EQ(host_->ArmedTimers(adapter_), 0u);
}

TEST_F(HaltTest, ResetReportsSuccessAndTouchesNothing) {
    StartConnected();
    Backlog();
    USHORT link = A()->LinkState;
    ULONG queued = A()->SendQueueCount;
    std::size_t mark = Mark();
    bool addressing = true;
    EXPECT_EQ(host_->Reset(adapter_, &addressing), NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(addressing) << "AddressingReset is not written";
    EXPECT_TRUE(Since(mark).accesses.empty()) << "the controller is not touched";
    EXPECT_EQ(A()->LinkState, link);
    EXPECT_EQ(A()->SendQueueCount, queued);
    card_->faults().hold_transmissions = false;
    card_->ReleaseHeldTransmissions();
    RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 1'000'000);
}

}  // namespace
