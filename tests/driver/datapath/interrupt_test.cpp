// Interrupt service and the event loop, asserted on the controller's trace.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;
using wifi::Bytes;

class InterruptTest : public World {
  protected:
    air::AccessPoint& Connect() {
        ap_ = &StartConnected();
        host_->ClearIndications(adapter_);
        return *ap_;
    }
    // A data frame from the access point, heard by the card right now.
    void HearFrame(std::uint8_t tag) {
        wifi::Header h;
        h.frame_control = wifi::FrameControl(wifi::kTypeData, 0, wifi::kFromDs);
        h.addr1 = StationMac();
        h.addr2 = ap_->config().address;
        h.addr3 = ap_->config().address;
        card_->InjectFrame(wifi::Build(h, wifi::Encapsulate(0x0800, Bytes(64, tag))));
    }
    std::vector<std::uint16_t> Acks(std::size_t mark) const { return Since(mark).WritesTo(REG_EVENT_ACK); }
    air::AccessPoint* ap_ = nullptr;
};

TEST_F(InterruptTest, EventsAreServicedInPriorityOrderRereadingTheStatusAfterEach) {
    config_.timing.event_requeue = 0;  // the next queued frame shows as soon as one is acknowledged
    Connect();
    card_->faults().hold_transmissions = true;
    wifi::Ethernet e;
    e.destination = ap_->config().address;
    e.source = StationMac();
    e.type = 0x0800;
    e.payload.assign(60, 1);
    Send(e);
    RunFor(10'000);
    // Now, with no dispatch point in between: a transmission ends (EV_TX and
    // EV_ALLOC) and two frames arrive (EV_RX, a second one queued behind it).
    card_->faults().hold_transmissions = false;
    card_->ReleaseHeldTransmissions();
    HearFrame(0xA1);
    HearFrame(0xA2);
    ASSERT_EQ(card_->EventStatus() & (EV_ALLOC | EV_RX | EV_TX), EV_ALLOC | EV_RX | EV_TX);
    std::size_t mark = Mark();
    RunFor(10'000);
    // The second EV_RX shows up while the first is serviced and goes before EV_TX.
    EXPECT_EQ(Acks(mark), (std::vector<std::uint16_t>{EV_ALLOC, EV_RX, EV_RX, EV_TX}));
    auto frames = Indicated();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload[0], 0xA1);
    EXPECT_EQ(frames[1].payload[0], 0xA2);
    EXPECT_EQ(host_->DpcCount(adapter_) > 0, true);
    // One interrupt, one deferred run, the mask reopened once at its end.
    auto masks = Since(mark).WritesTo(REG_INT_ENABLE);
    EXPECT_EQ(masks, (std::vector<std::uint16_t>{0, INT_ENABLE_MASK}));
}

TEST_F(InterruptTest, InterruptFromAnotherDeviceIsNotClaimed) {
    Connect();
    std::size_t isrs = host_->IsrCalls(adapter_).size();
    // Pending but masked: the line is not ours.
    Driver([&] { HwWriteReg(A(), REG_INT_ENABLE, 0); });
    card_->RaiseEvents(EV_BIT13);
    RunFor(1000);
    EXPECT_EQ(host_->IsrCalls(adapter_).size(), isrs);
    // Call the ISR as a shared line would: nothing pending for us.
    Driver([&] { HwAckEvents(A(), 0xFFFF); });
    BOOLEAN recognized = TRUE, queue = TRUE;
    std::size_t mark = Mark();
    host_->CallAsDriver(adapter_, [&] { MiniportISR(&recognized, &queue, A()); }, DIRQL_LEVEL);
    EXPECT_FALSE(recognized);
    EXPECT_FALSE(queue);
    EXPECT_TRUE(Since(mark).AllWrites().empty()) << "the mask is left as it is";
    Driver([&] { HwWriteReg(A(), REG_INT_ENABLE, INT_ENABLE_MASK); });
}

TEST_F(InterruptTest, RemovedCardIsNoticedByTheIsrAndThenLeftAlone) {
    Connect();
    card_->Remove(true);  // gone, with a last spurious interrupt
    RunFor(1000);
    EXPECT_EQ(A()->CardRemoved, 1);
    auto isrs = host_->IsrCalls(adapter_);
    ASSERT_FALSE(isrs.empty());
    EXPECT_FALSE(isrs.back().recognized);
    // Every later interrupt is declined without touching the card.
    std::size_t mark = Mark();
    BOOLEAN recognized = TRUE, queue = TRUE;
    host_->CallAsDriver(adapter_, [&] { MiniportISR(&recognized, &queue, A()); }, DIRQL_LEVEL);
    EXPECT_FALSE(recognized);
    EXPECT_TRUE(Since(mark).accesses.empty());
    expect_protocol_errors_ = true;
}

TEST_F(InterruptTest, LoopThatFindsTheSignatureGoneMarksTheCardRemoved) {
    Connect();
    card_->PokeSwSupport0(0x0000);
    std::size_t mark = Mark();
    HearFrame(0x55);
    RunFor(10'000);
    EXPECT_EQ(A()->CardRemoved, 1);
    EXPECT_TRUE(Acks(mark).empty()) << "nothing serviced, nothing acknowledged";
    EXPECT_TRUE(Indicated().empty());
}

TEST_F(InterruptTest, BitFifteenIsAcknowledgedAndCmdAloneIsLeftAlone) {
    Connect();
    std::size_t mark = Mark();
    card_->RaiseEvents(EV_CMD);
    RunFor(1000);
    EXPECT_TRUE(Acks(mark).empty()) << "EV_CMD raises no interrupt and is not serviced";
    card_->RaiseEvents(EV_BIT15 | EV_BIT13);
    RunFor(1000);
    EXPECT_EQ(Acks(mark), (std::vector<std::uint16_t>{EV_BIT13, EV_BIT15}));
    EXPECT_EQ(card_->EventStatus() & EV_CMD, EV_CMD) << "still pending, never cleared here";
    Driver([&] { HwAckEvents(A(), EV_CMD); });
}

TEST_F(InterruptTest, DiscardedReceiveIsAcknowledgedWithoutAnIndication) {
    Connect();
    std::size_t mark = Mark();
    card_->InjectReceiveBuffer(std::vector<std::uint8_t>(60, 0));  // data length 0
    RunFor(1000);
    EXPECT_EQ(Acks(mark), std::vector<std::uint16_t>{EV_RX});
    EXPECT_TRUE(host_->Indications(adapter_).empty()) << "no indication and no indication-complete";
}

TEST_F(InterruptTest, UnreadableInformationFrameDoesNotHoldTheLoopForever) {
    Connect();
    // Path 0 stays busy for 1.5 s: the information frame cannot be read.
    card_->faults().path_busy_forever[0] = true;
    scheduler_.At(scheduler_.Now() + 1'500'000, [&] { card_->faults().path_busy_forever[0] = false; });
    std::uint64_t dpcs = host_->DpcCount(adapter_);
    std::size_t mark = Mark();
    card_->QueueInfoFrame({2, 0xF200, 5});
    RunFor(3'000'000);
    EXPECT_EQ(A()->PortStatus, 5) << "handled once the path works again";
    // Each run gave up after a few attempts and let the next run try again.
    auto trace = Since(mark);
    auto selects = trace.WritesTo(REG_SELECT0);
    ASSERT_FALSE(selects.empty());
    std::uint16_t info_fid = selects[0];
    std::size_t attempts = 0, most = 0, runs = 0;
    for (const auto& access : trace.accesses) {
        if (access.write && access.offset == REG_SELECT0 && access.value == info_fid) ++attempts;
        if (access.write && access.offset == REG_INT_ENABLE && access.value == INT_ENABLE_MASK) {
            most = std::max(most, attempts);
            attempts = 0;
            ++runs;
        }
    }
    EXPECT_GE(host_->DpcCount(adapter_) - dpcs, 3u);
    EXPECT_EQ(most, 3u) << "three attempts per run";
    EXPECT_GE(runs, 3u);
}

TEST_F(InterruptTest, PacketsTakenByTheControllerAreCompletedByTheNextRun) {
    air::AccessPoint& ap = Connect();
    card_->faults().hold_transmissions = true;
    wifi::Ethernet e;
    e.destination = ap.config().address;
    e.source = StationMac();
    e.type = 0x0800;
    e.payload.assign(60, 1);
    auto id = Send(e);
    EXPECT_FALSE(host_->Packet(id).completed) << "handed to the controller, waiting in SendDone";
    HearFrame(0x01);  // any event runs the loop
    RunFor(1000);
    EXPECT_TRUE(host_->Packet(id).completed);
    EXPECT_EQ(host_->Packet(id).status, NDIS_STATUS_SUCCESS);
    card_->faults().hold_transmissions = false;
    card_->ReleaseHeldTransmissions();
    RunFor(10'000);
}

}  // namespace
