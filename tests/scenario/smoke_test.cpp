#include <gtest/gtest.h>

#include "tests/support/bench.h"

namespace {

using mirel_test::World;

TEST_F(World, JoinsAnOpenNetworkAndExchangesArp) {
    air::PeerConfig ap;
    ap.ssid = "mirel-lab";
    AddPeer(ap);
    registry_.SetText("ESSID", "mirel-lab");
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return MediaConnected(); }, 3'000'000));
    EXPECT_EQ(card_->Link(), card::LinkState::kJoined);
    Send(net::ArpRequest(StationMac(), {192, 168, 77, 2}, {192, 168, 77, 1}));
    ASSERT_TRUE(RunUntil([&] { return !Indicated().empty(); }, 1'000'000));
    auto arp = net::ParseArp(Indicated().back());
    ASSERT_TRUE(arp.has_value());
    EXPECT_EQ(arp->op, 2);
    EXPECT_EQ(arp->sender_mac, ap.address);
}

}  // namespace
