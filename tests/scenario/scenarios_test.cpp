// Scenarios over the air, each from MiniportInitialize to MiniportHalt with
// the verifier on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "tests/support/bench.h"

namespace {

using mirel_test::World;
using wifi::Bytes;

const net::Ip kOwnIp = {192, 168, 77, 2};

class ScenarioTest : public World {
  protected:
    // One ICMP echo to `peer`; true when its reply was indicated.
    bool Ping(air::AccessPoint& peer, std::uint16_t seq, std::size_t size = 56) {
        Bytes data(size, static_cast<std::uint8_t>(seq));
        std::size_t before = Indicated().size();
        Send(net::IcmpEcho(StationMac(), kOwnIp, peer.config().address, peer.config().ip, 8, 0x1234, seq, data));
        return host_->RunUntil(
            [&] {
                auto frames = Indicated();
                for (std::size_t i = before; i < frames.size(); ++i) {
                    auto echo = net::ParseEcho(frames[i]);
                    if (echo && echo->type == 0 && echo->seq == seq && echo->data == data) return true;
                }
                return false;
            },
            200'000);
    }
    std::vector<NDIS_STATUS> Statuses() const { return host_->StatusIndications(adapter_); }
};

TEST_F(ScenarioTest, PingTheAccessPointOnOpenAndWepNetworks) {
    struct Case {
        const char* name;
        std::function<void(host::Registry&)> registry;
        std::function<void(air::PeerConfig&)> ap;
    } cases[] = {
        {"open", [](host::Registry&) {}, [](air::PeerConfig&) {}},
        {"40-bit WEP",
         [](host::Registry& r) { r.SetNumber("WepReq", 3).SetNumber("DefaultKeyId", 0).SetText("DefaultKeys", "0102030405" "0000000000" "0000000000" "0000000000"); },
         [](air::PeerConfig& ap) {
             ap.privacy = true;
             ap.keys[0] = {1, 2, 3, 4, 5};
         }},
        {"104-bit WEP",
         [](host::Registry& r) { r.SetNumber("WepReq", 7).SetNumber("DefaultKeyId", 0).SetText("DefaultKeys", "0102030405060708090A0B0C0D"); },
         [](air::PeerConfig& ap) {
             ap.privacy = true;
             ap.keys[0] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
         }},
    };
    for (const Case& c : cases) {
        Reset();
        registry_ = host::Registry();
        registry_.SetText("IoBaseAddress", "300").SetText("InterruptNumber", "10");
        c.registry(registry_);
        air::PeerConfig config;
        c.ap(config);
        air::AccessPoint& ap = StartConnected(config);
        ASSERT_TRUE(MediaConnected()) << c.name;
        for (std::uint16_t seq = 1; seq <= 10; ++seq) EXPECT_TRUE(Ping(ap, seq, 32 * seq)) << c.name << " ping " << seq;
        EXPECT_EQ(ap.endpoint().EchoesAnswered(), 10u) << c.name;
        EXPECT_EQ(ap.DecryptFailures(), 0u) << c.name;
        EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT}) << c.name;
        Halt();
    }
}

TEST_F(ScenarioTest, AccessPointThatGoesAwayAndComesBack) {
    struct Case {
        const char* name;
        std::function<void(air::AccessPoint&)> away;
        std::function<void(air::AccessPoint&)> back;
    } cases[] = {
        {"powered off", [](air::AccessPoint& ap) { ap.PowerOff(); }, [](air::AccessPoint& ap) { ap.PowerOn(); }},
        {"out of range", [](air::AccessPoint& ap) { ap.SetSignal(-100); }, [](air::AccessPoint& ap) { ap.SetSignal(-45); }},
    };
    for (const Case& c : cases) {
        Reset();
        air::AccessPoint& ap = StartConnected();
        ASSERT_TRUE(Ping(ap, 1)) << c.name;
        c.away(ap);
        // The controller misses the beacons, reports the loss, and after three
        // ticks of grace NDIS hears of it.
        ASSERT_TRUE(RunUntil([&] { return !MediaConnected(); }, 8'000'000)) << c.name;
        EXPECT_EQ(A()->PortStatus, 4) << c.name << ": out of range";
        EXPECT_EQ(Statuses(), (std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT}));
        // Packets sent meanwhile are dropped as sent.
        auto lost = Send(net::IcmpEcho(StationMac(), kOwnIp, ap.config().address, ap.config().ip, 8, 1, 2, Bytes(8, 0)));
        EXPECT_EQ(host_->Packet(lost).status, NDIS_STATUS_SUCCESS);
        RunFor(2'000'000);
        c.back(ap);
        ASSERT_TRUE(RunUntil([&] { return MediaConnected(); }, 3'000'000)) << c.name;
        EXPECT_EQ(A()->PortStatus, 5) << c.name << ": back in range";
        EXPECT_TRUE(Ping(ap, 3)) << c.name;
        EXPECT_EQ(Statuses(), (std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT,
                                                       NDIS_STATUS_MEDIA_CONNECT}));
        Halt();
    }
}

TEST_F(ScenarioTest, DeauthenticatedStationJoinsAgain) {
    air::AccessPoint& ap = StartConnected();
    ap.Deauthenticate(StationMac());
    RunFor(100'000);
    EXPECT_EQ(A()->PortStatus, 2) << "the controller reports the disconnection";
    RunFor(900'000);  // it searches again after half a second
    EXPECT_EQ(A()->PortStatus, 1) << "disconnected, then joined again within the grace";
    EXPECT_EQ(ap.Associations().count(StationMac()), 1u);
    EXPECT_TRUE(Ping(ap, 1));
    EXPECT_EQ(Statuses(), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT});
    EXPECT_EQ(ap.VendorRequests(), 2u) << "a request with every connection";
}

TEST_F(ScenarioTest, RoamingToAnotherAccessPointOfTheSameNetwork) {
    air::PeerConfig near;
    near.signal_dbm = -40;
    air::PeerConfig far = near;
    far.address = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x02};
    far.signal_dbm = -70;
    far.channel = 1;
    far.ip = {192, 168, 77, 3};
    air::AccessPoint& second = AddPeer(far);
    air::AccessPoint& first = StartConnected(near);
    EXPECT_EQ(card_->JoinedBssid(), near.address) << "the stronger one";
    first.PowerOff();
    ASSERT_TRUE(RunUntil([&] { return card_->JoinedBssid() == far.address && A()->PortStatus == 3; }, 5'000'000))
        << "the controller reports that the access point changed";
    EXPECT_EQ(A()->CurrentChannel, 1u);
    EXPECT_EQ(0, std::memcmp(A()->CurrentBssid, far.address.data(), 6));
    EXPECT_TRUE(Ping(second, 1));
}

TEST_F(ScenarioTest, AccessPointThatRefusesAssociation) {
    air::PeerConfig config;
    config.accept_associations = false;
    AddPeer(config);
    registry_.SetText("ESSID", config.ssid);
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return A()->PortStatus == 6; }, 2'000'000)) << "association failed";
    RunFor(6'000'000);
    EXPECT_FALSE(MediaConnected());
    EXPECT_TRUE(Statuses().empty());
    EXPECT_EQ(A()->LinkState, 2);
}

TEST_F(ScenarioTest, NetworksWithOtherPrivacyAreNotJoined) {
    air::PeerConfig wep;
    wep.privacy = true;
    wep.keys[0] = {1, 2, 3, 4, 5};
    AddPeer(wep);
    registry_.SetText("ESSID", wep.ssid);  // no WEP configured
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    RunFor(3'000'000);
    EXPECT_EQ(card_->Link(), card::LinkState::kSearching);
    EXPECT_FALSE(MediaConnected());
}

TEST_F(ScenarioTest, AdHocNetworkJoinedOrStarted) {
    // An IBSS already on the air: joined.
    registry_.SetNumber("NetworkMode", 0).SetText("ESSID", "adhoc");
    air::PeerConfig peer;
    peer.role = air::Role::kIbss;
    peer.ssid = "adhoc";
    peer.address = {0x02, 0x00, 0x5E, 0x30, 0x00, 0x05};
    peer.bssid = {0x02, 0x44, 0x55, 0x66, 0x77, 0x88};
    peer.channel = 3;
    peer.ip = {192, 168, 77, 5};
    air::AccessPoint& member = StartConnected(peer);
    EXPECT_EQ(card_->JoinedBssid(), peer.bssid);
    EXPECT_TRUE(Ping(member, 1));
    EXPECT_TRUE(Ping(member, 2, 1400));
    Halt();
    // Nobody there: the card starts the IBSS and a newcomer joins it.
    Reset();
    registry_.SetNumber("Channel", 4);
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return MediaConnected(); }, 3'000'000));
    air::PeerConfig newcomer = peer;
    newcomer.bssid = card_->JoinedBssid();
    newcomer.channel = 4;
    air::AccessPoint& joined = AddPeer(newcomer);
    EXPECT_TRUE(Ping(joined, 3));
    ASSERT_TRUE(air_->Survey(joined.id()).size() >= 1) << "the card's IBSS is seen on the air";
}

TEST_F(ScenarioTest, ModeThreeTalksWithoutJoiningAnything) {
    registry_.SetNumber("NetworkMode", 3).SetText("ESSID", "direct").SetNumber("Channel", 9);
    air::PeerConfig peer;
    peer.role = air::Role::kPseudoIbss;
    peer.ssid = "direct";
    peer.address = {0x02, 0x00, 0x5E, 0x30, 0x00, 0x06};
    peer.channel = 9;
    peer.ip = {192, 168, 77, 6};
    air::AccessPoint& other = AddPeer(peer);
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(MediaConnected()) << "up from the start";
    RunFor(100'000);
    EXPECT_TRUE(Ping(other, 1));
    EXPECT_TRUE(Ping(other, 2, 1000));
    EXPECT_TRUE(Statuses().empty());
}

TEST_F(ScenarioTest, PolledOperationCarriesTraffic) {
    registry_.SetNumber("PollInDriver", 1);
    air::AccessPoint& ap = StartConnected();
    for (std::uint16_t seq = 1; seq <= 5; ++seq) EXPECT_TRUE(Ping(ap, seq, 500));
    EXPECT_TRUE(host_->IsrCalls(adapter_).empty());
}

// Thousands of frames of every size both ways, sent in bursts of up to eight,
// while the access point also sends: nothing may be lost, reordered, changed,
// or completed twice.
TEST_F(ScenarioTest, LongRunOfTrafficLosesNothing) {
    for (const char* poll : {"0", "1"}) {
        Reset();
        registry_.SetText("PollInDriver", poll);
        air::AccessPoint& ap = StartConnected();
        card_->SetTraceLimit(10'000);
        air_->SetCapture(false);
        ap.ClearReceived();
        host_->ClearIndications(adapter_);
        std::mt19937 random(1234);
        std::vector<Bytes> sent, expected_in;
        std::vector<host::PacketId> ids;
        std::map<host::PacketId, int> completions;
        host_->SetSendCompleteHandler(adapter_, [&](host::PacketId id, NDIS_STATUS) { ++completions[id]; });
        std::uint32_t counter = 0;
        auto frame = [&](const wifi::Mac& to, const wifi::Mac& from) {
            wifi::Ethernet e;
            e.destination = to;
            e.source = from;
            e.type = 0x88B5;
            std::size_t size = 46 + random() % (1500 - 46 + 1);
            for (std::size_t i = 0; i < size; ++i) e.payload.push_back(static_cast<std::uint8_t>(random()));
            std::uint32_t n = counter++;
            std::memcpy(e.payload.data(), &n, 4);
            return e;
        };
        for (int burst = 0; burst < 250; ++burst) {
            std::vector<host::Bytes> frames;
            std::vector<std::vector<UINT>> chunks;
            std::size_t count = 1 + random() % 8;
            for (std::size_t i = 0; i < count; ++i) {
                Bytes f = wifi::BuildEthernet(frame(ap.config().address, StationMac()));
                // Cut into one to four buffers.
                std::vector<UINT> parts;
                std::size_t left = f.size();
                while (left > 0) {
                    std::size_t part = parts.size() == 3 ? left : std::min<std::size_t>(left, 1 + random() % 600);
                    parts.push_back(static_cast<UINT>(part));
                    left -= part;
                }
                sent.push_back(f);
                frames.push_back(f);
                chunks.push_back(parts);
            }
            auto burst_ids = host_->Send(adapter_, frames, chunks);
            ids.insert(ids.end(), burst_ids.begin(), burst_ids.end());
            if (random() % 3 == 0) {
                wifi::Ethernet in = frame(StationMac(), ap.config().address);
                expected_in.push_back(wifi::BuildEthernet(in));
                ap.SendEthernet(in);
            }
            RunFor(random() % 4000);
        }
        ASSERT_TRUE(RunUntil([&] { return host_->OutstandingPackets(adapter_) == 0; }, 5'000'000)) << "poll " << poll;
        RunFor(100'000);
        for (auto id : ids) {
            EXPECT_EQ(host_->Packet(id).status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(completions[id], 1);
        }
        std::vector<Bytes> arrived;
        for (const auto& e : ap.Received()) {
            if (e.type == 0x88B5) arrived.push_back(wifi::BuildEthernet(e));
        }
        EXPECT_EQ(arrived.size(), sent.size()) << "poll " << poll;
        EXPECT_TRUE(arrived == sent) << "poll " << poll << ": every frame, in order, unchanged";
        EXPECT_TRUE(host_->ReceivedFrames(adapter_) == expected_in) << "poll " << poll;
        EXPECT_GT(sent.size(), 800u);
        host_->SetSendCompleteHandler(adapter_, nullptr);
        Halt();
    }
}

}  // namespace
