// The request frame and the standard queries.
#include <gtest/gtest.h>

#include <set>

#include "tests/driver/oid/oid_fixture.h"

namespace {

using mirel_test::OidTest;

TEST_F(OidTest, SupportedListIsAnsweredVerbatim) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    auto none = Q(OID_GEN_SUPPORTED_LIST, 0);
    EXPECT_EQ(none.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(none.bytes_needed, 540u);
    EXPECT_FALSE(none.bytes_written.has_value());
    auto short_by_one = Q(OID_GEN_SUPPORTED_LIST, 539);
    EXPECT_EQ(short_by_one.status, NDIS_STATUS_INVALID_LENGTH);
    auto list = Q(OID_GEN_SUPPORTED_LIST, 540);
    ASSERT_EQ(list.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(list.bytes_written, 540u);
    EXPECT_FALSE(list.bytes_needed.has_value());
    std::vector<ULONG> oids(135);
    std::memcpy(oids.data(), list.data.data(), 540);
    EXPECT_EQ(oids[0], OID_GEN_MAC_OPTIONS);
    EXPECT_EQ(oids[1], OID_GEN_SUPPORTED_LIST);
    EXPECT_EQ(oids[34], 0xFFFFFFFEu);
    EXPECT_EQ(oids[95], 0xFFFFFF6Bu);
    EXPECT_EQ(oids[106], OID_802_11_BSSID);
    EXPECT_EQ(oids[133], 0xFFFFFF50u);
    EXPECT_EQ(oids[134], 0xFFFFFF3Cu);
    EXPECT_EQ(std::set<ULONG>(oids.begin(), oids.end()).size(), 135u);
}

TEST_F(OidTest, RequestsWithoutABranch) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Case {
        NDIS_OID oid;
        bool query, set;  // has a branch in that direction
    } cases[] = {
        {0xFFFFFFFA, false, false}, {OID_GEN_SUPPORTED_LIST, true, false}, {OID_GEN_CURRENT_PACKET_FILTER, false, true},
        {OID_GEN_PROTOCOL_OPTIONS, false, false}, {OID_802_3_MULTICAST_LIST, false, true}, {OID_802_11_POWER_MODE, false, false},
        {0x12345678, false, false},
    };
    for (const Case& c : cases) {
        auto q = Q(c.oid, 16);
        if (!c.query) {
            EXPECT_EQ(q.status, NDIS_STATUS_INVALID_OID) << std::hex << c.oid;
            EXPECT_FALSE(q.bytes_written.has_value());
            EXPECT_FALSE(q.bytes_needed.has_value());
        }
        if (!c.set) {
            auto s = S(c.oid, host::Bytes(4, 0));
            EXPECT_EQ(s.status, NDIS_STATUS_INVALID_OID) << std::hex << c.oid;
            EXPECT_EQ(s.bytes_read, 0u);
            EXPECT_EQ(s.bytes_needed, 0u);
        }
    }
}

TEST_F(OidTest, GeneralAnswers) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Case {
        NDIS_OID oid;
        ULONG value;
    } cases[] = {
        {OID_GEN_HARDWARE_STATUS, 0},          {OID_GEN_MEDIA_SUPPORTED, 0},        {OID_GEN_MEDIA_IN_USE, 0},
        {OID_GEN_MAXIMUM_LOOKAHEAD, 1508},     {OID_GEN_CURRENT_LOOKAHEAD, 1508},   {OID_GEN_MAXIMUM_FRAME_SIZE, 1500},
        {OID_GEN_MAXIMUM_TOTAL_SIZE, 1514},    {OID_GEN_TRANSMIT_BLOCK_SIZE, 1514}, {OID_GEN_RECEIVE_BLOCK_SIZE, 1514},
        {OID_GEN_TRANSMIT_BUFFER_SPACE, 12112}, {OID_GEN_RECEIVE_BUFFER_SPACE, 12112}, {OID_GEN_VENDOR_DRIVER_VERSION, 0x00037800},
        {OID_GEN_MAC_OPTIONS, 12},             {OID_GEN_MAXIMUM_SEND_PACKETS, 8},   {OID_GEN_RCV_NO_BUFFER, 1},
        {OID_802_3_RCV_ERROR_ALIGNMENT, 1},    {OID_802_3_XMIT_ONE_COLLISION, 1},   {OID_802_3_XMIT_MORE_COLLISIONS, 1},
        {OID_802_3_MAXIMUM_LIST_SIZE, 32},     {OID_GEN_MEDIA_CONNECT_STATUS, 1},   {OID_802_11_NETWORK_TYPE_IN_USE, 1},
        {OID_802_11_PRIVACY_FILTER, 0},        {OID_GEN_LINK_SPEED, 110000},
    };
    for (const Case& c : cases) EXPECT_EQ(Ulong(c.oid), c.value) << std::hex << c.oid;
    // The current lookahead is answered as 1508 whatever was set.
    EXPECT_EQ(SetUlong(OID_GEN_CURRENT_LOOKAHEAD, 256).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Ulong(OID_GEN_CURRENT_LOOKAHEAD), 1508u);
    EXPECT_EQ(A()->CurrentLookahead, 256u);
}

TEST_F(OidTest, AnswersFromTheSettings) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Speed {
        ULONG rate, speed;
    } speeds[] = {{1, 10000}, {2, 20000}, {4, 55000}, {8, 110000}, {15, 110000}, {3, 110000}};
    for (const Speed& s : speeds) {
        A()->TransmitRate = s.rate;
        EXPECT_EQ(Ulong(OID_GEN_LINK_SPEED), s.speed) << s.rate;
    }
    struct Mode {
        ULONG network_mode, answer;
    } modes[] = {{0, 0}, {1, 1}, {2, 1}, {3, 0}};
    for (const Mode& m : modes) {
        A()->NetworkMode = m.network_mode;
        EXPECT_EQ(Ulong(OID_802_11_INFRASTRUCTURE_MODE), m.answer) << m.network_mode;
    }
    A()->NetworkMode = 1;
    struct Auth {
        ULONG type, answer;
    } auths[] = {{1, 0}, {2, 1}, {3, 2}, {0, 0}, {4, 0}};
    for (const Auth& a : auths) {
        A()->AuthenticationType = a.type;
        EXPECT_EQ(Ulong(OID_802_11_AUTHENTICATION_MODE), a.answer) << a.type;
    }
    struct Wep {
        ULONG wep_req, answer;
    } weps[] = {{0, 1}, {3, 0}, {7, 0}, {1, 1}};
    for (const Wep& w : weps) {
        A()->WepReq = w.wep_req;
        EXPECT_EQ(Ulong(OID_802_11_WEP_STATUS), w.answer) << w.wep_req;
    }
    A()->CurrentChannel = 11;
    auto configuration = Answer(OID_802_11_CONFIGURATION);
    ASSERT_EQ(configuration.size(), 32u);
    NDIS_802_11_CONFIGURATION c;
    std::memcpy(&c, configuration.data(), 32);
    EXPECT_EQ(c.Length, 32u);
    EXPECT_EQ(c.BeaconPeriod, 100u);
    EXPECT_EQ(c.DSConfig, 2462000u);
}

TEST_F(OidTest, SizedAnswers) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    auto version = Q(OID_GEN_DRIVER_VERSION, 2);
    EXPECT_EQ(version.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(version.bytes_written, 2u);
    EXPECT_EQ(version.data, (host::Bytes{0x00, 0x04}));
    auto small = Q(OID_GEN_DRIVER_VERSION, 1);
    EXPECT_EQ(small.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(small.bytes_needed, 2u);
    auto description = Answer(OID_GEN_VENDOR_DESCRIPTION);
    ASSERT_EQ(description.size(), 27u);
    EXPECT_EQ(description.back(), 0);
    EXPECT_EQ(std::string(description.begin(), description.end() - 1), "VORTANE 11Mbps WirelessLAN");
    auto id = Answer(OID_GEN_VENDOR_ID);
    EXPECT_EQ(id, (host::Bytes{0x01, config_.factory_mac[1], config_.factory_mac[2], 0}));
    EXPECT_EQ(Answer(OID_802_3_PERMANENT_ADDRESS), host::Bytes(config_.factory_mac.begin(), config_.factory_mac.end()));
    EXPECT_EQ(Answer(OID_802_11_SUPPORTED_RATES), (host::Bytes{0x82, 0x84, 0x8B, 0x96, 0, 0, 0, 0}));
    EXPECT_EQ(Answer(OID_802_11_NETWORK_TYPES_SUPPORTED), (host::Bytes{1, 0, 0, 0, 1, 0, 0, 0}));
}

TEST_F(OidTest, SsidAnswerIsTheNetworkJoined) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Case {
        std::string name;
        bool terminated;
    } cases[] = {{"home", true}, {std::string(32, 'w'), false}, {"", true}};
    for (const Case& c : cases) {
        std::memset(A()->CurrentSsid, 0x77, sizeof A()->CurrentSsid);
        std::memcpy(A()->CurrentSsid, c.name.data(), c.name.size());
        A()->CurrentSsidLength = static_cast<UCHAR>(c.name.size());
        auto a = Answer(OID_802_11_SSID);
        ASSERT_EQ(a.size(), 36u);
        ULONG length;
        std::memcpy(&length, a.data(), 4);
        EXPECT_EQ(length, c.name.size());
        EXPECT_EQ(std::string(a.begin() + 4, a.begin() + 4 + static_cast<std::ptrdiff_t>(c.name.size())), c.name);
        if (c.terminated) {
            EXPECT_EQ(a[4 + c.name.size()], 0) << c.name;
        }
    }
}

TEST_F(OidTest, BssidAndSignalAreReadFromTheController) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);  // nothing on the air: not connected
    auto bssid = Q(OID_802_11_BSSID, 6);
    EXPECT_EQ(bssid.status, NDIS_STATUS_ADAPTER_NOT_READY);
    EXPECT_FALSE(bssid.bytes_written.has_value());
    EXPECT_FALSE(bssid.bytes_needed.has_value());
    struct Case {
        std::uint16_t quality;
        LONG dbm;
    } cases[] = {{41, -55}, {40, -65}, {31, -65}, {30, -70}, {21, -70}, {20, -75}, {11, -75},
                 {10, -85}, {6, -85},  {5, -90},  {0, -90},  {0xFFFF, -55}};
    for (const Case& c : cases) {
        card_->SetRecord(RID_LINK_QUALITY, {4, RID_LINK_QUALITY, c.quality, 0x40, 0});
        LONG dbm = static_cast<LONG>(Ulong(OID_802_11_RSSI));
        EXPECT_EQ(dbm, c.dbm) << c.quality;
    }
    card_->faults().record_result[RID_LINK_QUALITY] = 4;
    EXPECT_EQ(Q(OID_802_11_RSSI).status, NDIS_STATUS_FAILURE);
    card_->faults().record_result.clear();
    EXPECT_EQ(Q(OID_802_11_RSSI_TRIGGER).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Q(OID_802_11_STATISTICS).status, NDIS_STATUS_SUCCESS);
}

TEST_F(OidTest, BssidWhileConnected) {
    air::AccessPoint& ap = StartConnected();
    EXPECT_EQ(Answer(OID_802_11_BSSID), host::Bytes(ap.config().address.begin(), ap.config().address.end()));
    card_->faults().record_result[RID_CURRENT_BSSID] = 4;
    EXPECT_EQ(Q(OID_802_11_BSSID).status, NDIS_STATUS_FAILURE);
}

TEST_F(OidTest, BssidListLength) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Answer(OID_802_11_BSSID_LIST).size(), 4u);
    A()->BssList.NumberOfItems = 3;
    for (int i = 0; i < 3; ++i) A()->BssList.Bssid[i].Length = 104;
    EXPECT_EQ(Answer(OID_802_11_BSSID_LIST).size(), 316u);
    auto small = Q(OID_802_11_BSSID_LIST, 100);
    EXPECT_EQ(small.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(small.bytes_needed, 316u);
}

TEST_F(OidTest, CountersFollowTheTraffic) {
    air::AccessPoint& ap = StartConnected();
    wifi::Ethernet e;
    e.destination = ap.config().address;
    e.source = StationMac();
    e.type = 0x0800;
    e.payload.assign(100, 7);
    Send(e);
    RunFor(50'000);
    EXPECT_EQ(Ulong(OID_GEN_XMIT_OK), A()->FramesSentOk);
    EXPECT_GE(A()->FramesSentOk, 2u);
    EXPECT_EQ(Ulong(OID_GEN_XMIT_ERROR), 0u);
    EXPECT_EQ(Ulong(OID_GEN_RCV_ERROR), 0u);
    EXPECT_EQ(Ulong(OID_GEN_MEDIA_CONNECT_STATUS), 0u);
}

}  // namespace
