// The private OIDs: configuration applied by a restart, status, the site
// survey, and the maintenance OIDs (firmware download, controller memory,
// indirect registers, monitor mode, user command, vendor protocol).
#include <gtest/gtest.h>

#include "tests/driver/oid/oid_fixture.h"

namespace {

using mirel_test::OidTest;

TEST_F(OidTest, SettingsAreStoredAndAppliedByARestart) {
    air::AccessPoint& ap = StartConnected();
    (void)ap;
    EXPECT_EQ(Answer(OID_PRIV_ESSID), Text(std::string("mirel-lab") + '\0'));
    struct Case {
        NDIS_OID oid;
        host::Bytes data;
    } cases[] = {
        {OID_PRIV_NETWORK_MODE, {0}},       {OID_PRIV_CHANNEL, {7, 0xEE}},      {OID_PRIV_AP_DENSITY, {2}},
        {OID_PRIV_PS_MODE, {1}},            {OID_PRIV_TRANSMIT_RATE, {4}},      {OID_PRIV_WEP_REQ, {0}},
        {OID_PRIV_MEDIUM_RESERVATION, {0x10, 0x27, 0, 0}}, {OID_PRIV_SPARE_BYTE, {9}},
    };
    std::size_t inits = Commands(CMD_INIT);
    for (const Case& c : cases) {
        auto r = S(c.oid, c.data);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << std::hex << c.oid;
        EXPECT_EQ(r.bytes_read, c.data.size());
    }
    EXPECT_EQ(Ulong(OID_PRIV_NETWORK_MODE), 0u);
    EXPECT_EQ(Ulong(OID_PRIV_CHANNEL), 7u) << "low byte";
    EXPECT_EQ(Ulong(OID_PRIV_AP_DENSITY), 2u);
    EXPECT_EQ(Ulong(OID_PRIV_PS_MODE), 1u);
    EXPECT_EQ(Ulong(OID_PRIV_PS_STATE), 2u);
    EXPECT_EQ(Ulong(OID_PRIV_TRANSMIT_RATE), 4u);
    EXPECT_EQ(Ulong(OID_PRIV_RATE), 4u);
    EXPECT_EQ(Ulong(OID_PRIV_MEDIUM_RESERVATION), 10000u);
    auto essid = S(OID_PRIV_ESSID, Text("adhoc"));
    EXPECT_EQ(essid.bytes_read, 5u);
    EXPECT_EQ(A()->EssidLength, 5);
    EXPECT_EQ(Commands(CMD_INIT), inits) << "stored only";
    EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "mirel-lab");
    EXPECT_EQ(A()->RestartPending, 0) << "private sets stage nothing";
    // Applied by the restart, which marks the link down without telling NDIS.
    host_->ClearIndications(adapter_);
    EXPECT_EQ(S(OID_PRIV_RESTART, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Commands(CMD_INIT), inits + 1);
    EXPECT_EQ(card::NameFromRecord(*card_->Record(RID_DESIRED_SSID)), "adhoc");
    EXPECT_EQ((*card_->Record(RID_NETWORK_MODE))[2], 0);
    EXPECT_EQ((*card_->Record(RID_OWN_CHANNEL))[2], 7);
    EXPECT_EQ((*card_->Record(RID_MEDIUM_RESERVATION))[2], 10000);
    EXPECT_EQ(Ulong(OID_PRIV_LINK_STATE), 4u);
    EXPECT_EQ(Ulong(OID_GEN_MEDIA_CONNECT_STATUS), 1u);
    EXPECT_TRUE(host_->StatusIndications(adapter_).empty());
    // The card starts an ad-hoc network; the link monitor reports it.
    ASSERT_TRUE(RunUntil([&] { return MediaConnected(); }, 3'000'000));
    EXPECT_EQ(host_->StatusIndications(adapter_), std::vector<NDIS_STATUS>{NDIS_STATUS_MEDIA_CONNECT});
    // Too long a name is refused.
    auto long_name = S(OID_PRIV_ESSID, host::Bytes(33, 'x'));
    EXPECT_EQ(long_name.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(A()->EssidLength, 5);
    auto empty = S(OID_PRIV_CHANNEL, {});
    EXPECT_EQ(empty.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(empty.bytes_needed, 1u);
}

TEST_F(OidTest, StatusAnswers) {
    registry_.SetText("StationName", std::string(32, 's'));
    air::AccessPoint& ap = StartConnected();
    EXPECT_EQ(Answer(OID_PRIV_STATION_NAME), host::Bytes(32, 's'));
    EXPECT_EQ(Answer(OID_PRIV_CURRENT_SSID), Text(std::string("mirel-lab") + '\0'));
    EXPECT_EQ(Answer(OID_PRIV_OWN_SSID), Text(std::string("mirel-lab") + '\0'));
    EXPECT_EQ(Answer(OID_PRIV_BSSID_TEXT), Text("02005e100001"));
    (void)ap;
    EXPECT_EQ(Ulong(OID_PRIV_CHANNEL_MASK), 0x07FFu);
    EXPECT_EQ(Ulong(OID_PRIV_RECORD_FD11), 0x10u);
    EXPECT_EQ(Answer(OID_PRIV_RECORD_FD40), (host::Bytes{2, 0, 0, 0}));
    EXPECT_EQ(Ulong(OID_PRIV_CURRENT_CHANNEL), 6u);
    EXPECT_EQ(Ulong(OID_PRIV_LINK_STATE), 1u);
    EXPECT_EQ(Answer(OID_PRIV_DRIVER_VERSION), (host::Bytes{3, 0, 7, 0, 8, 0, 0, 0}));
    EXPECT_EQ(Answer(OID_PRIV_IDENTITY_FD20), (host::Bytes{2, 0, 1, 0, 4, 0, 0, 0}));
    EXPECT_EQ(Answer(OID_PRIV_IDENTITY_FD02), (host::Bytes{2, 0, 1, 0, 5, 0, 0, 0}));
    auto quality = Answer(OID_PRIV_LINK_QUALITY);
    ASSERT_EQ(quality.size(), 8u);
    EXPECT_EQ(quality[0], 50) << "-45 dBm";
    auto counters = Q(OID_PRIV_COUNTERS, 23);
    EXPECT_EQ(counters.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(counters.bytes_needed, 24u);
    auto all = Answer(OID_PRIV_COUNTERS);
    ASSERT_EQ(all.size(), 24u);
    ULONG sent_ok;
    std::memcpy(&sent_ok, all.data(), 4);
    EXPECT_EQ(sent_ok, A()->FramesSentOk);
    // After a push and before the next connection the BSSID is all ones.
    S(OID_PRIV_RESTART, {});
    EXPECT_EQ(Answer(OID_PRIV_BSSID_TEXT), Text("ffffffffffff"));
    // Mode 3 answers the configured channel.
    A()->NetworkMode = 3;
    A()->Channel = 9;
    EXPECT_EQ(Ulong(OID_PRIV_CURRENT_CHANNEL), 9u);
    for (ULONG mode : {0u, 2u}) {
        A()->PSMode = mode;
        EXPECT_EQ(Ulong(OID_PRIV_PS_STATE), 1u);
    }
    card_->SetRecord(RID_STATION_NAME, card::NameRecord(RID_STATION_NAME, ""));
    auto empty_name = Q(OID_PRIV_STATION_NAME);
    EXPECT_EQ(empty_name.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(empty_name.bytes_written, 0u);
    card_->faults().record_result[RID_STATION_NAME] = 3;
    EXPECT_EQ(Q(OID_PRIV_STATION_NAME).status, NDIS_STATUS_FAILURE);
}

TEST_F(OidTest, KeysAsHexadecimalText) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(S(OID_PRIV_WEP_KEY1, Text("0a1B2c3D4e")).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Answer(OID_PRIV_WEP_KEY1), (host::Bytes{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0}));
    auto bad = S(OID_PRIV_WEP_KEY1, Text("0a1B2c3D4g"));
    EXPECT_EQ(bad.status, NDIS_STATUS_SUCCESS) << "a bad digit clears the key and still succeeds";
    EXPECT_EQ(Answer(OID_PRIV_WEP_KEY1), host::Bytes(6, 0));
    EXPECT_EQ(S(OID_PRIV_WEP_REQ, {7}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(S(OID_PRIV_WEP_KEY0, Text("000102030405060708090a0b0c")).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Answer(OID_PRIV_WEP_KEY0), (host::Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0}));
    EXPECT_EQ(Answer(OID_PRIV_WEP_KEY2).size(), 6u) << "slots 1 to 3 hold 40-bit keys";
    auto short_text = S(OID_PRIV_WEP_KEY0, Text("0001"));
    EXPECT_EQ(short_text.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_text.bytes_needed, 26u);
    // The default key index re-keys the host engine at once.
    EXPECT_EQ(S(OID_PRIV_DEFAULT_KEY_ID, {2}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Ulong(OID_PRIV_DEFAULT_KEY_ID), 2u);
    EXPECT_EQ(A()->TxIv[3], 0x80);
    EXPECT_EQ(A()->TxSeed[4], 1) << "13-byte keys come from slot 0";
}

TEST_F(OidTest, WinXpGate) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    struct Case {
        ULONG value;
        UCHAR winxp;
    } cases[] = {{0x10, 0}, {0x01, 1}, {0x08, 1}, {0, 0}};
    for (const Case& c : cases) {
        auto r = SetUlong(OID_PRIV_WINXP, c.value);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(r.bytes_read, 4u);
        EXPECT_EQ(A()->WinXP, c.winxp) << std::hex << c.value;
    }
}

TEST_F(OidTest, SiteSurveyOnNewerFirmware) {
    StartConnected();
    auto start = Q(OID_PRIV_SURVEY_START, 0);
    EXPECT_EQ(start.status, NDIS_STATUS_INVALID_LENGTH) << "the survey starts all the same";
    EXPECT_EQ(start.bytes_needed, 4u);
    EXPECT_EQ(A()->ScanState, SCAN_SURVEY);
    EXPECT_EQ(card_->RecordWrites(RID_SCAN_REQUEST), 1u);
    RunFor(3'000'000);
    EXPECT_GE(card_->RecordWrites(RID_SCAN_REQUEST), 3u) << "repeated by the link monitor";
    EXPECT_GE(A()->BssList.NumberOfItems, 1u);
    EXPECT_EQ(Q(OID_PRIV_SURVEY_STOP, 4).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->ScanState, SCAN_IDLE);
    auto results = Answer(OID_PRIV_SCAN_RESULTS);
    ASSERT_EQ(results.size(), 980u);
    EXPECT_EQ(results, host::Bytes(980, 0));
}

TEST_F(OidTest, SiteSurveyOnOlderFirmware) {
    config_.newer_firmware = false;
    registry_.SetNumber("NetworkMode", 0).SetText("ESSID", "mine");
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    air::PeerConfig ap;
    AddPeer(ap);
    EXPECT_EQ(Q(OID_PRIV_SURVEY_START).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "ANY");
    EXPECT_EQ(A()->NetworkMode, 1u);
    RunFor(2'000'000);
    auto results = Answer(OID_PRIV_SCAN_RESULTS);  // asks the controller first
    RunFor(200'000);
    EXPECT_GE(A()->BssList.NumberOfItems, 1u);
    EXPECT_EQ(Q(OID_PRIV_SURVEY_STOP).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(A()->Essid), A()->EssidLength), "mine");
    EXPECT_EQ(A()->NetworkMode, 0u);
    EXPECT_EQ(A()->ScanState, SCAN_IDLE);
}

TEST_F(OidTest, CounterBlockQueryAsksForTheNextOne) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    card_->Tallies()[0] = 77;
    auto first = Answer(OID_PRIV_INFO_F100);
    ASSERT_EQ(first.size(), 84u);
    EXPECT_EQ(first[0], 0) << "what the last frame said";
    RunFor(5000);
    EXPECT_EQ(Answer(OID_PRIV_INFO_F100)[0], 77);
    card_->faults().command_result[CMD_INQUIRE] = 3;
    EXPECT_EQ(Q(OID_PRIV_INFO_F100).status, NDIS_STATUS_FAILURE);
}

TEST_F(OidTest, FirmwareDownloadThroughTheOids) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    auto status0 = Q(OID_PRIV_DOWNLOAD_STATUS, 0);
    EXPECT_EQ(status0.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(status0.bytes_needed, 1u);
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_START, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->InterruptMask(), 0);
    EXPECT_TRUE(card_->AuxPortOpen());
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_PARAMS, {0x00, 0x39, 0x00, 0x00, 0x00, 0x10}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->DownloadAddress, 0x00390000u);
    EXPECT_EQ(A()->DownloadWordCount, 16);
    EXPECT_EQ(A()->DownloadInProgress, 1);
    host::Bytes block(32);
    for (int i = 0; i < 32; ++i) block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    auto short_data = S(OID_PRIV_DOWNLOAD_DATA, host::Bytes(31, 0));
    EXPECT_EQ(short_data.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(short_data.bytes_needed, 32u);
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_DATA, block).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(A()->DownloadInProgress, 0);
    EXPECT_EQ(Answer(OID_PRIV_DOWNLOAD_STATUS), host::Bytes{0});
    EXPECT_EQ(card_->AuxMemory(0x390000, 32), block);
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_REPEAT, {0}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->ProgrammedBlocks(), 2u);
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_FINISH, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->CommittedImages(), 1u);
    EXPECT_FALSE(card_->AuxPortOpen());
    EXPECT_EQ(Answer(OID_PRIV_DOWNLOAD_STATUS), host::Bytes{0});
    // A block the controller rejects still succeeds; the status says so.
    S(OID_PRIV_DOWNLOAD_START, {});
    S(OID_PRIV_DOWNLOAD_PARAMS, {0x00, 0x39, 0x00, 0x00, 0x00, 0x10});
    card_->faults().command_result[0x0222] = 5;
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_DATA, block).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(Answer(OID_PRIV_DOWNLOAD_STATUS), host::Bytes{1});
    card_->faults().command_result.clear();
    // A block larger than the download buffer is refused.
    EXPECT_EQ(S(OID_PRIV_DOWNLOAD_PARAMS, {0x00, 0x39, 0x00, 0x00, 0x10, 0x01}).status, NDIS_STATUS_INVALID_LENGTH);
    S(OID_PRIV_DOWNLOAD_FINISH, {});
    // Only a restart brings the adapter back.
    EXPECT_EQ(S(OID_PRIV_RESTART, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(card_->InterruptMask(), INT_ENABLE_MASK);
    EXPECT_TRUE(card_->PortEnabled());
}

TEST_F(OidTest, ControllerMemoryAndIndirectRegisters) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    auto memory = Answer(OID_PRIV_MEMORY_READ);
    EXPECT_EQ(memory, card_->AuxMemory(0x390000, 1024));
    EXPECT_FALSE(card_->AuxPortOpen());
    std::size_t before = Commands(CMD_READ_INDIRECT);
    auto small = Q(OID_PRIV_INDIRECT_READ, 64);
    EXPECT_EQ(small.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(small.bytes_needed, 255u);
    EXPECT_EQ(Commands(CMD_READ_INDIRECT) - before, 64u) << "all commands issued first";
    host::Bytes values(50, 0);
    for (int i = 1; i < 50; ++i) values[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0x80 + i);
    std::size_t mark = Mark();
    EXPECT_EQ(S(OID_PRIV_INDIRECT_WRITE, values).status, NDIS_STATUS_SUCCESS);
    auto commands = Since(mark).Commands();
    ASSERT_EQ(commands.size(), 49u);
    EXPECT_EQ(commands.front().params[0].second, 2);
    EXPECT_EQ(commands.back().params[0].second, 98);
    auto read = Answer(OID_PRIV_INDIRECT_READ);
    ASSERT_EQ(read.size(), 255u);
    EXPECT_EQ(read[0], 0x40) << "register 0 is never written";
    EXPECT_EQ(read[1], 0x81);
    EXPECT_EQ(read[49], 0x80 + 49);
    EXPECT_EQ(read[63], 0x40 + 63);
    EXPECT_EQ(read[64], 0);
    EXPECT_EQ(S(OID_PRIV_INDIRECT_WRITE, host::Bytes(49, 0)).status, NDIS_STATUS_INVALID_LENGTH);
    card_->faults().command_result[CMD_WRITE_INDIRECT] = 5;
    EXPECT_EQ(S(OID_PRIV_INDIRECT_WRITE, values).status, NDIS_STATUS_FAILURE);
}

TEST_F(OidTest, MonitorModeAndUserCommandThroughTheOids) {
    StartConnected();
    host::Bytes filter = {1, 0, 1, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(S(OID_PRIV_MONITOR_FILTER, filter).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host::Bytes(A()->MonitorFilter, A()->MonitorFilter + 13), filter);
    EXPECT_EQ(S(OID_PRIV_MONITOR_ON, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(card_->InMonitorMode());
    EXPECT_EQ(S(OID_PRIV_MONITOR_OFF, {}).status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(card_->InMonitorMode());
    EXPECT_EQ(A()->MonitorFilter[0], 0) << "the restart cleared the first four flags";
    EXPECT_EQ(A()->MonitorFilter[7], 0x11);
    card_->faults().command_result[0x0B38] = 5;
    EXPECT_EQ(S(OID_PRIV_MONITOR_ON, {}).status, NDIS_STATUS_FAILURE);
    card_->faults().command_result.clear();
    std::size_t mark = Mark();
    EXPECT_EQ(S(OID_PRIV_USER_COMMAND, {0x21, 0x00, 0x00, 0xFC, 0, 0, 0, 0}).status, NDIS_STATUS_SUCCESS);
    auto commands = Since(mark).Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].code, 0x0021);
    EXPECT_EQ(commands[0].params[0].second, 0xFC00);
    EXPECT_EQ(S(OID_PRIV_USER_COMMAND, {0x77, 0, 0, 0, 0, 0, 0, 0}).status, NDIS_STATUS_SUCCESS) << "whatever the controller says";
}

TEST_F(OidTest, VendorProtocolThroughTheOids) {
    air::AccessPoint& ap = StartConnected();
    auto info = Answer(OID_PRIV_VENDOR_INFO);
    ASSERT_EQ(info.size(), 210u);
    EXPECT_EQ(info[0], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.data() + 1)), "MIREL-AP");
    EXPECT_EQ(info[1 + 192], 4) << "VendorByte4";
    EXPECT_EQ(info[203], 1) << "VendorInfoReceived again";
    RunFor(20'000);
    EXPECT_EQ(ap.VendorRequests(), 2u) << "the query sent a fresh request";
    // User data: too long refused; sent only while connected.
    auto too_long = S(OID_PRIV_VENDOR_SEND, host::Bytes(44, 1));
    EXPECT_EQ(too_long.status, NDIS_STATUS_INVALID_LENGTH);
    A()->SendQueueDrained = 1;
    std::size_t before = ap.Received().size();
    auto sent = S(OID_PRIV_VENDOR_SEND, host::Bytes(43, 0x33));
    EXPECT_EQ(sent.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(sent.bytes_read, 43u);
    RunFor(20'000);
    ASSERT_EQ(ap.Received().size(), before + 1);
    EXPECT_EQ(ap.Received().back().payload[0], 0x33);
    A()->LinkState = 2;
    host::Bytes stored(A()->VendorUserData, A()->VendorUserData + 10);
    EXPECT_EQ(S(OID_PRIV_VENDOR_SEND, host::Bytes(10, 0x44)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host::Bytes(A()->VendorUserData, A()->VendorUserData + 10), stored) << "nothing stored while not connected";
    RunFor(20'000);
    EXPECT_EQ(ap.Received().size(), before + 1);
}

}  // namespace
