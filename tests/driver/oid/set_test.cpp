// The standard sets: Ethernet settings, and the 802.11 sets staged until the
// SSID set commits them.
#include <gtest/gtest.h>

#include "driver/datapath/datapath.h"
#include "tests/driver/oid/oid_fixture.h"

namespace {

using mirel_test::OidTest;

host::Bytes Ssid(const std::string& name, ULONG length_field = 0xFFFFFFFF) {
    host::Bytes b(36, 0);
    ULONG length = length_field == 0xFFFFFFFF ? static_cast<ULONG>(name.size()) : length_field;
    std::memcpy(b.data(), &length, 4);
    std::memcpy(b.data() + 4, name.data(), std::min<std::size_t>(name.size(), 32));
    return b;
}

host::Bytes Wep(ULONG index, const host::Bytes& key, ULONG length_field = 0) {
    ULONG key_length = length_field != 0 ? length_field : static_cast<ULONG>(key.size());
    ULONG header[3] = {12 + static_cast<ULONG>(key.size()), index, key_length};
    host::Bytes b;
    for (ULONG word : header) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
    }
    for (std::uint8_t k : key) b.push_back(k);
    return b;
}

TEST_F(OidTest, EthernetSets) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Case {
        NDIS_OID oid;
        host::Bytes data;
        NDIS_STATUS status;
        ULONG read;
    } cases[] = {
        {OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0, 0, 0}, NDIS_STATUS_SUCCESS, 4},
        {OID_GEN_CURRENT_PACKET_FILTER, {0x20, 0, 0, 0}, NDIS_STATUS_NOT_SUPPORTED, 4},
        {OID_GEN_CURRENT_PACKET_FILTER, {0x00, 0x10, 0, 0}, NDIS_STATUS_NOT_SUPPORTED, 4},
        {OID_GEN_CURRENT_PACKET_FILTER, {0x80, 0x0F, 0x01, 0}, NDIS_STATUS_SUCCESS, 4},
        {OID_GEN_CURRENT_PACKET_FILTER, {0x0B, 0}, NDIS_STATUS_INVALID_LENGTH, 0},
        {OID_GEN_CURRENT_LOOKAHEAD, {0xE4, 0x05, 0, 0}, NDIS_STATUS_SUCCESS, 4},
        {OID_GEN_CURRENT_LOOKAHEAD, {0xE5, 0x05, 0, 0}, NDIS_STATUS_INVALID_LENGTH, 0},
        {OID_802_3_MULTICAST_LIST, {}, NDIS_STATUS_SUCCESS, 0},
        {OID_802_3_MULTICAST_LIST, host::Bytes(7, 1), NDIS_STATUS_INVALID_LENGTH, 0},
        {OID_802_3_MULTICAST_LIST, host::Bytes(33 * 6, 1), NDIS_STATUS_MULTICAST_FULL, 0},
        {OID_802_3_MULTICAST_LIST, host::Bytes(32 * 6, 1), NDIS_STATUS_SUCCESS, 192},
    };
    for (const Case& c : cases) {
        auto r = S(c.oid, c.data);
        EXPECT_EQ(r.status, c.status) << std::hex << c.oid << " " << c.data.size();
        EXPECT_EQ(r.bytes_read, c.read) << std::hex << c.oid << " " << c.data.size();
        EXPECT_EQ(r.bytes_needed, 0u);
    }
    EXPECT_EQ(A()->PacketFilter, 0x010F80u) << "the last filter accepted";
    EXPECT_EQ(A()->CurrentLookahead, 1508u);
    EXPECT_EQ(A()->MulticastCount, 32);
    // A ULONG setting given a larger buffer reports the whole buffer read.
    EXPECT_EQ(S(OID_GEN_CURRENT_PACKET_FILTER, host::Bytes(4, 0)).bytes_read, 4u);
    EXPECT_EQ(S(OID_PRIV_MEDIUM_RESERVATION, host::Bytes(64, 0)).bytes_read, 64u);
}

TEST_F(OidTest, CurrentAddressGoesToTheControllerAtOnce) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    host::Bytes mac = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A};
    EXPECT_EQ(S(OID_802_3_CURRENT_ADDRESS, mac).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Answer(OID_802_3_CURRENT_ADDRESS), mac);
    EXPECT_EQ(card_->StationAddress(), (card::MacAddress{0x02, 0x12, 0x34, 0x56, 0x78, 0x9A}));
    EXPECT_EQ(Commands(CMD_INIT), 1u) << "no restart";
    card_->faults().record_result[RID_MAC_ADDRESS] = 3;
    EXPECT_EQ(S(OID_802_3_CURRENT_ADDRESS, host::Bytes(6, 0x02)).status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(Answer(OID_802_3_CURRENT_ADDRESS), mac) << "unchanged";
    EXPECT_EQ(S(OID_802_3_CURRENT_ADDRESS, host::Bytes(5, 0x02)).status, NDIS_STATUS_INVALID_LENGTH);
}

TEST_F(OidTest, WithWinXpOffTheStandardSetsChangeNothing) {
    registry_.SetNumber("WinXP", 0);
    StartConnected();
    A()->WepKeys[1][0] = 0x99;
    ULONG mode = A()->NetworkMode, auth = A()->AuthenticationType, wep = A()->WepReq;
    std::size_t inits = Commands(CMD_INIT);
    struct Case {
        NDIS_OID oid;
        host::Bytes data;
        NDIS_STATUS status;
    } cases[] = {
        {OID_802_11_SSID, Ssid("other"), NDIS_STATUS_SUCCESS},
        {OID_802_11_INFRASTRUCTURE_MODE, {0, 0, 0, 0}, NDIS_STATUS_SUCCESS},
        {OID_802_11_AUTHENTICATION_MODE, {1, 0, 0, 0}, NDIS_STATUS_SUCCESS},
        {OID_802_11_WEP_STATUS, {0, 0, 0, 0}, NDIS_STATUS_SUCCESS},
        {OID_802_11_REMOVE_WEP, {1, 0, 0, 0}, NDIS_STATUS_SUCCESS},
        {OID_802_11_RELOAD_DEFAULTS, {0, 0, 0, 0}, NDIS_STATUS_SUCCESS},
        {OID_802_11_BSSID_LIST_SCAN, {}, NDIS_STATUS_SUCCESS},
        {OID_802_11_ADD_WEP, Wep(0x80000002, {1, 2, 3, 4, 5}), NDIS_STATUS_SUCCESS},
        {OID_802_11_DISASSOCIATE, {}, NDIS_STATUS_ADAPTER_NOT_READY},
    };
    for (const Case& c : cases) {
        auto r = S(c.oid, c.data);
        EXPECT_EQ(r.status, c.status) << std::hex << c.oid;
    }
    EXPECT_EQ(A()->NetworkMode, mode);
    EXPECT_EQ(A()->AuthenticationType, auth);
    EXPECT_EQ(A()->WepReq, wep);
    EXPECT_EQ(A()->WepKeys[1][0], 0x99);
    EXPECT_EQ(A()->RestartPending, 0);
    EXPECT_EQ(A()->ScanRequestCount, 0);
    EXPECT_EQ(Commands(CMD_INIT), inits);
    EXPECT_TRUE(MediaConnected());
    // After an EAP Success, keys are taken even with WinXP off.
    A()->EapolState = 2;
    EXPECT_EQ(S(OID_802_11_ADD_WEP, Wep(0x80000002, {1, 2, 3, 4, 5})).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->WepKeys[2][0], 1);
    EXPECT_EQ(A()->DefaultKeyId, 2u);
}

TEST_F(OidTest, SsidSetCommitsWithARestart) {
    air::PeerConfig other;
    other.ssid = "other";
    other.address = {0x02, 0x00, 0x5E, 0x10, 0x00, 0x07};
    other.channel = 1;
    AddPeer(other);
    StartConnected();
    std::size_t inits = Commands(CMD_INIT);
    // The network already joined, nothing staged: no restart, no indication.
    EXPECT_EQ(S(OID_802_11_SSID, Ssid("mirel-lab")).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Commands(CMD_INIT), inits);
    EXPECT_EQ(host_->StatusIndications(adapter_), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT});
    // A staged change makes even the same name commit.
    EXPECT_EQ(S(OID_802_11_BSSID, host::Bytes(6, 0)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->RestartPending, 1);
    EXPECT_EQ(S(OID_802_11_SSID, Ssid("mirel-lab")).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Commands(CMD_INIT), inits + 1);
    EXPECT_EQ(A()->RestartPending, 0);
    RunUntil([&] { return A()->LinkState == 1; }, 2'000'000);
    // Another name: the link is reported lost at once, then the card restarts and joins it.
    host_->ClearIndications(adapter_);
    EXPECT_EQ(S(OID_802_11_SSID, Ssid("other")).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host_->StatusIndications(adapter_), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_DISCONNECT});
    EXPECT_EQ(Commands(CMD_INIT), inits + 2);
    ASSERT_TRUE(RunUntil([&] { return MediaConnected(); }, 6'000'000));
    EXPECT_EQ(card_->JoinedBssid(), other.address);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->CurrentSsid), A()->CurrentSsidLength), "other");
    // An empty name means any network.
    EXPECT_EQ(S(OID_802_11_SSID, Ssid("")).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "ANY");
    EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "");
    // A name longer than 32 is refused and changes nothing.
    auto r = S(OID_802_11_SSID, Ssid("x", 33));
    EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(r.bytes_read, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "ANY");
    // So is a buffer too short to hold an NDIS_802_11_SSID.
    host::Bytes cut = Ssid("other");
    cut.resize(35);
    auto short_buffer = S(OID_802_11_SSID, cut);
    EXPECT_EQ(short_buffer.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_buffer.bytes_needed, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "ANY");
}

TEST_F(OidTest, StagedSettings) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Case {
        NDIS_OID oid;
        host::Bytes data;
        std::function<bool(PADAPTER)> check;
        UCHAR pending;
    } cases[] = {
        {OID_802_11_INFRASTRUCTURE_MODE, {2, 0, 0, 0}, [](PADAPTER a) { return a->NetworkMode == 1; }, 0},
        {OID_802_11_INFRASTRUCTURE_MODE, {0, 0, 0, 0}, [](PADAPTER a) { return a->NetworkMode == 0; }, 1},
        {OID_802_11_AUTHENTICATION_MODE, {1, 0, 0, 0}, [](PADAPTER a) { return a->AuthenticationType == 2; }, 1},
        {OID_802_11_AUTHENTICATION_MODE, {2, 0, 0, 0}, [](PADAPTER a) { return a->AuthenticationType == 3; }, 1},
        {OID_802_11_AUTHENTICATION_MODE, {9, 0, 0, 0}, [](PADAPTER a) { return a->AuthenticationType == 1; }, 0},
        {OID_802_11_WEP_STATUS, {0, 0, 0, 0}, [](PADAPTER a) { return a->WepReq == 0; }, 1},
        {OID_802_11_WEP_STATUS, {1, 0, 0, 0}, [](PADAPTER a) { return a->WepReq == 0; }, 0},
        {OID_802_11_REMOVE_WEP, {2, 0, 0, 0}, [](PADAPTER a) { return a->WepKeys[2][0] == 0; }, 1},
        {OID_802_11_RELOAD_DEFAULTS, {}, [](PADAPTER a) { return a->WepKeys[1][0] == 0 && a->WepReq == 0; }, 1},
        {OID_802_11_NETWORK_TYPE_IN_USE, {1, 0, 0, 0}, [](PADAPTER) { return true; }, 0},
        {OID_802_11_CONFIGURATION, host::Bytes(32, 0), [](PADAPTER) { return true; }, 0},
    };
    for (const Case& c : cases) {
        A()->RestartPending = 0;
        A()->WepKeys[1][0] = A()->WepKeys[2][0] = 0x42;
        auto r = S(c.oid, c.data);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << std::hex << c.oid;
        EXPECT_TRUE(c.check(A())) << std::hex << c.oid << " " << int(c.data.empty() ? 0 : c.data[0]);
        EXPECT_EQ(A()->RestartPending, c.pending) << std::hex << c.oid << " " << int(c.data.empty() ? 0 : c.data[0]);
        if (c.oid == OID_802_11_INFRASTRUCTURE_MODE && c.data[0] == 0) A()->NetworkMode = 1;
        A()->AuthenticationType = 1;
    }
    EXPECT_EQ(Commands(CMD_INIT), 1u) << "nothing reached the controller";
}

TEST_F(OidTest, AddingKeys) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    host::Bytes key13 = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    auto r = S(OID_802_11_ADD_WEP, Wep(0x80000001, key13));
    EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->WepReq, 7u);
    EXPECT_EQ(0, std::memcmp(A()->WepKeys[1], key13.data(), 13));
    EXPECT_EQ(A()->WepKeys[1][13], 0);
    EXPECT_EQ(A()->DefaultKeyId, 1u);
    EXPECT_EQ(A()->TxIv[3], 0x40);
    EXPECT_EQ(0, std::memcmp(A()->TxSeed + 3, key13.data(), 13)) << "re-keyed with a 16-byte seed";
    EXPECT_EQ(A()->RestartPending, 1);
    // WEP mode changed: the key, the index and the flags were pushed at once.
    EXPECT_EQ(card_->RecordWrites(RID_DEFAULT_KEY1), 2u);
    EXPECT_EQ((*card_->Record(RID_DEFAULT_KEY_ID))[2], 1);
    EXPECT_EQ((*card_->Record(RID_WEP_FLAGS))[2], 0xF5);

    // The same mode with open authentication only changes the Adapter.
    A()->RestartPending = 0;
    unsigned writes = card_->RecordWrites(RID_DEFAULT_KEY2);
    EXPECT_EQ(S(OID_802_11_ADD_WEP, Wep(2, key13)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->RecordWrites(RID_DEFAULT_KEY2), writes);
    EXPECT_EQ(A()->RestartPending, 1);
    // A key that differs only after a zero byte still counts as new.
    A()->RestartPending = 0;
    host::Bytes changed = key13;
    changed[0] = 0;
    EXPECT_EQ(S(OID_802_11_ADD_WEP, Wep(2, changed)).status, NDIS_STATUS_SUCCESS);
    A()->RestartPending = 0;
    changed[5] = 0x66;
    EXPECT_EQ(S(OID_802_11_ADD_WEP, Wep(2, changed)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->RestartPending, 1);
    // Key index 5 goes to slot 0.
    EXPECT_EQ(S(OID_802_11_ADD_WEP, Wep(5, key13)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(A()->WepKeys[0], key13.data(), 13));
    // Refused: reserved index bits, and key material shorter than its length.
    auto bad = S(OID_802_11_ADD_WEP, Wep(0x10, key13));
    EXPECT_EQ(bad.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(bad.bytes_read, 0u);
    auto short_key = S(OID_802_11_ADD_WEP, Wep(1, {1, 2, 3}, 13));
    EXPECT_EQ(short_key.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_key.bytes_needed, 25u);
    // With shared-key authentication every key goes to the controller; a
    // controller failure is reported.
    A()->AuthenticationType = 2;
    card_->faults().command_result[CMD_ENABLE] = 3;
    EXPECT_EQ(S(OID_802_11_ADD_WEP, Wep(3, key13)).status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(0, std::memcmp(A()->WepKeys[3], key13.data(), 13)) << "the key stays stored";
}

TEST_F(OidTest, ScanRequestsOnNewerFirmware) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    for (int request = 1; request <= 9; ++request) {
        A()->BssList.NumberOfItems = 5;
        EXPECT_EQ(S(OID_802_11_BSSID_LIST_SCAN, {}).status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(A()->BssList.NumberOfItems, request % 3 == 0 ? 0u : 5u) << "request " << request;
    }
    EXPECT_EQ(card_->RecordWrites(RID_SCAN_REQUEST), 9u) << "disconnected: every request scans";
    A()->MediaDisconnected = 0;
    A()->TxThroughput = 13;
    EXPECT_EQ(S(OID_802_11_BSSID_LIST_SCAN, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->RecordWrites(RID_SCAN_REQUEST), 9u) << "connected and busy: no scan";
    A()->TxThroughput = 12;
    EXPECT_EQ(S(OID_802_11_BSSID_LIST_SCAN, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->RecordWrites(RID_SCAN_REQUEST), 10u);
}

TEST_F(OidTest, ScanRequestsOnOlderFirmware) {
    config_.newer_firmware = false;
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    A()->MediaDisconnected = 0;
    EXPECT_EQ(S(OID_802_11_BSSID_LIST_SCAN, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->ScanState, SCAN_STARTED) << "connected: nothing happens";
    A()->MediaDisconnected = 1;
    A()->BssList.NumberOfItems = 4;
    EXPECT_EQ(S(OID_802_11_BSSID_LIST_SCAN, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->ScanState, SCAN_EMPTY_SSID);
    EXPECT_EQ(A()->BssList.NumberOfItems, 0u);
    EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "");
    A()->ScanState = SCAN_IDLE;
    card_->faults().record_result[RID_DESIRED_SSID] = 3;
    auto r = S(OID_802_11_BSSID_LIST_SCAN, {});
    EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(r.bytes_read, 4u);
    EXPECT_EQ(r.bytes_needed, 0u);
}

TEST_F(OidTest, DisassociateDropsTheLinkAndTheKeys) {
    registry_.SetNumber("WepReq", 0);
    StartConnected();
    A()->WepKeys[0][0] = 0x55;
    auto r = S(OID_802_11_DISASSOCIATE, {});
    EXPECT_EQ(r.status, NDIS_STATUS_ADAPTER_NOT_READY);
    EXPECT_FALSE(r.bytes_read.has_value());
    EXPECT_EQ(host_->StatusIndications(adapter_),
              (std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT, NDIS_STATUS_MEDIA_DISCONNECT}));
    EXPECT_FALSE(card_->PortEnabled()) << "stops associating until the next commit";
    EXPECT_EQ(A()->WepKeys[0][0], 0);
    EXPECT_EQ(A()->VendorInfoReceived, 0);
    EXPECT_EQ(A()->LinkState, 2);
    EXPECT_EQ(A()->RestartPending, 1);
}

}  // namespace
