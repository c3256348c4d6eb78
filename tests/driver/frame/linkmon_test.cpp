// The link monitor: media indications with their grace, the empty-name scan,
// survey repeats and throughput samples, one tick per second.
#include <gtest/gtest.h>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

class LinkMonitorTest : public World {
  protected:
    void RunToTick(ULONG tick) {
        ASSERT_TRUE(RunUntil([&] { return A()->TickCount >= tick; }, 30'000'000)) << "tick " << tick;
    }
    // The controller reports a link status in an information frame.
    void Report(std::uint16_t code) {
        card_->QueueInfoFrame({2, 0xF200, code});
        RunFor(1000);
    }
    std::vector<NDIS_STATUS> Statuses() const { return host_->StatusIndications(adapter_); }
    std::size_t ScanRequests() const {
        std::size_t n = 0;
        for (const auto& c : card_->Commands()) n += (c.code == CMD_ACCESS_WRITE && c.param0 == RID_SCAN_REQUEST) ? 1 : 0;
        return n;
    }
    static constexpr NDIS_STATUS kUp = NDIS_STATUS_MEDIA_CONNECT;
    static constexpr NDIS_STATUS kDown = NDIS_STATUS_MEDIA_DISCONNECT;
};

TEST_F(LinkMonitorTest, ConnectIsReportedOnce) {
    StartConnected();
    EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{kUp});
    RunToTick(10);
    EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{kUp});
    EXPECT_EQ(A()->LinkState, 1);
}

TEST_F(LinkMonitorTest, LostLinkIsReportedOnTheFourthTick) {
    StartConnected();
    RunToTick(2);
    Report(2);
    RunToTick(5);
    EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{kUp}) << "three ticks of grace";
    EXPECT_EQ(A()->LinkState, 1);
    RunToTick(6);
    EXPECT_EQ(Statuses(), (std::vector<NDIS_STATUS>{kUp, kDown}));
    EXPECT_EQ(A()->LinkState, 2);
    EXPECT_FALSE(MediaConnected());
    RunToTick(12);
    EXPECT_EQ(Statuses(), (std::vector<NDIS_STATUS>{kUp, kDown})) << "and nothing more";
}

TEST_F(LinkMonitorTest, LinkBackWithinTheGraceReportsNothing) {
    StartConnected();
    RunToTick(2);
    Report(2);
    RunToTick(5);
    Report(1);
    RunToTick(9);
    EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{kUp});
    EXPECT_EQ(A()->LinkLossTicks, 0);
}

TEST_F(LinkMonitorTest, LinkThatReturnsAfterALossIsReported) {
    StartConnected();
    RunToTick(1);
    Report(4);  // out of range
    RunToTick(6);
    ASSERT_EQ(Statuses(), (std::vector<NDIS_STATUS>{kUp, kDown}));
    Report(5);  // back in range: the information event reports it at once
    EXPECT_EQ(Statuses(), (std::vector<NDIS_STATUS>{kUp, kDown, kUp}));
    RunToTick(9);
    EXPECT_EQ(Statuses().size(), 3u);
}

TEST_F(LinkMonitorTest, ControllerThatNeverConnectsGetsNoIndicationAtAll) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);  // nothing on the air
    RunToTick(3);
    EXPECT_EQ(A()->LinkState, 0);
    RunToTick(4);
    EXPECT_EQ(A()->LinkState, 2);
    RunToTick(8);
    EXPECT_TRUE(Statuses().empty());
    EXPECT_FALSE(MediaConnected());
}

TEST_F(LinkMonitorTest, ModeThreeNeedsNoIndication) {
    registry_.SetNumber("NetworkMode", 3).SetText("ESSID", "solo");
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(MediaConnected()) << "up from the start";
    RunToTick(8);
    EXPECT_TRUE(Statuses().empty());
    EXPECT_TRUE(MediaConnected());
}

TEST_F(LinkMonitorTest, EmptyNameScanEndsOnTickOneWhenConnectedOrOnTickThree) {
    struct Case {
        bool access_point;
        ULONG restore_tick;
    } cases[] = {{true, 1}, {false, 3}};
    for (const Case& c : cases) {
        Reset();
        config_.fd0d_word2 = 0;
        registry_.SetText("ESSID", "mirel-lab");
        if (c.access_point) AddPeer(air::PeerConfig{});
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(A()->ScanState, SCAN_EMPTY_SSID);
        ASSERT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "");
        for (ULONG tick = 1; tick < c.restore_tick; ++tick) {
            RunToTick(tick);
            EXPECT_EQ(A()->ScanState, SCAN_EMPTY_SSID) << "tick " << tick;
        }
        RunToTick(c.restore_tick);
        EXPECT_EQ(A()->ScanState, SCAN_IDLE) << "restored on tick " << c.restore_tick;
        EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "mirel-lab");
        EXPECT_EQ(A()->TickCount, c.restore_tick);
        if (c.access_point) {
            // The link reported during the scan was only noted; the connection
            // with the configured name is reported once it is made again.
            ASSERT_TRUE(RunUntil([&] { return MediaConnected(); }, 2'000'000));
            EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{kUp});
        } else {
            EXPECT_TRUE(Statuses().empty());
        }
        Halt();
    }
}

TEST_F(LinkMonitorTest, SurveyRepeatsScanRequestsOnNewerFirmwareOnly) {
    struct Case {
        bool newer;
        std::size_t requests_per_tick;
    } cases[] = {{true, 1}, {false, 0}};
    for (const Case& c : cases) {
        Reset();
        config_.newer_firmware = c.newer;
        StartConnected();
        RunToTick(1);
        A()->ScanState = SCAN_SURVEY;
        std::size_t before = ScanRequests();
        RunToTick(6);
        EXPECT_EQ(ScanRequests() - before, 5 * c.requests_per_tick) << (c.newer ? "newer" : "older");
        // While surveying, the media state is left alone.
        Report(2);
        RunToTick(12);
        EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{kUp});
        Halt();
    }
}

TEST_F(LinkMonitorTest, ThroughputIsSampledEveryThirdTick) {
    StartConnected();
    RunToTick(3);
    struct Case {
        ULONG sent, received;
        ULONG tx, rx;
    } cases[] = {{61440, 0, 12, 0}, {61439, 5120, 11, 1}, {0, 61440 * 2, 0, 24}};
    ULONG tick = 3;
    for (const Case& c : cases) {
        A()->BytesSent += c.sent;
        A()->BytesReceived += c.received;
        tick += 3;
        RunToTick(tick);
        EXPECT_EQ(A()->TxThroughput, c.tx) << c.sent;
        EXPECT_EQ(A()->RxThroughput, c.rx) << c.received;
    }
    // A counter that wrapped around still gives the right difference.
    A()->TxBytesAtSample = 0xFFFFF000u;
    A()->BytesSent = 0xFFFFF000u + 61440u;
    tick += 3;
    RunToTick(tick);
    EXPECT_EQ(A()->TxThroughput, 12u);
}

}  // namespace
