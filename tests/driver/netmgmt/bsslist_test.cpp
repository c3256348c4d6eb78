// Information frames: scan results into the BSS list, the counter block, and
// the scan request that follows a connection on older firmware.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/hw/hw.h"
#include "driver/netmgmt/netmgmt.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

struct Entry {
    std::uint16_t channel = 6;
    std::uint8_t signal = 120;
    wifi::Mac bssid = {0x02, 0xBB, 0, 0, 0, 1};
    std::uint16_t interval = 100;
    std::uint16_t capability = 0x0001;
    std::uint16_t ssid_length = 5;
    std::string ssid = "alpha";
};

// An information frame of scan results: 62-byte entries, or 64-byte ones for
// a host scan. `length_word` overrides the length word when non-zero.
std::vector<std::uint16_t> ScanFrame(std::uint16_t type, const std::vector<Entry>& entries, std::size_t size = 62,
                                     std::uint16_t length_word = 0) {
    std::vector<std::uint8_t> b(8, 0);
    for (const Entry& e : entries) {
        std::vector<std::uint8_t> x(size, 0);
        x[0] = static_cast<std::uint8_t>(e.channel);
        x[4] = e.signal;
        x[5] = 0x5A;
        std::copy(e.bssid.begin(), e.bssid.end(), x.begin() + 6);
        x[12] = static_cast<std::uint8_t>(e.interval);
        x[13] = static_cast<std::uint8_t>(e.interval >> 8);
        x[14] = static_cast<std::uint8_t>(e.capability);
        x[16] = static_cast<std::uint8_t>(e.ssid_length);
        std::copy(e.ssid.begin(), e.ssid.end(), x.begin() + 18);
        b.insert(b.end(), x.begin(), x.end());
    }
    std::vector<std::uint16_t> words(b.size() / 2);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(b[2 * i] | b[2 * i + 1] << 8);
    words[0] = length_word != 0 ? length_word : static_cast<std::uint16_t>(words.size() - 1);
    words[1] = type;
    return words;
}

class BssListTest : public World {
  protected:
    void StartOlder() {
        config_.newer_firmware = false;
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);  // nothing on the air: the list stays ours
    }
    void Deliver(const std::vector<std::uint16_t>& frame) {
        card_->QueueInfoFrame(frame);
        RunFor(5000);
        EXPECT_EQ(card_->EventStatus() & EV_INFO, 0) << "acknowledged";
    }
    const NDIS_WLAN_BSSID& Slot(int i) const { return A()->BssList.Bssid[i]; }
    ULONG Items() const { return A()->BssList.NumberOfItems; }
    std::string Ssid(const NDIS_WLAN_BSSID& s) const {
        return std::string(reinterpret_cast<const char*>(s.Ssid.Ssid), s.Ssid.SsidLength);
    }
    std::size_t Inquiries(std::uint16_t type) const {
        std::size_t n = 0;
        for (const auto& c : card_->Commands()) n += (c.code == CMD_INQUIRE && c.param0 == type) ? 1 : 0;
        return n;
    }
};

TEST_F(BssListTest, AnEntryFillsASlot) {
    StartOlder();
    Entry e;
    e.capability = 0x0011;  // ESS, privacy
    Deliver(ScanFrame(INFO_TYPE_SCAN, {e}));
    ASSERT_EQ(Items(), 1u);
    const NDIS_WLAN_BSSID& s = Slot(0);
    EXPECT_EQ(s.Length, 104u);
    EXPECT_EQ(0, std::memcmp(s.MacAddress, e.bssid.data(), 6));
    EXPECT_EQ(Ssid(s), "alpha");
    EXPECT_EQ(s.Privacy, 1u);
    EXPECT_EQ(s.Rssi, 120 - 164);
    EXPECT_EQ(s.NetworkTypeInUse, Ndis802_11DS);
    EXPECT_EQ(s.Configuration.Length, 32u);
    EXPECT_EQ(s.Configuration.BeaconPeriod, 100u);
    EXPECT_EQ(s.Configuration.ATIMWindow, 0u);
    EXPECT_EQ(s.Configuration.DSConfig, 2437000u);
    EXPECT_EQ(s.InfrastructureMode, Ndis802_11Infrastructure);
    const UCHAR rates[8] = {0x82, 0x84, 0x8B, 0x96, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(s.SupportedRates, rates, 8));
    // The entry in the scan block now carries a quality value.
    EXPECT_EQ(A()->ScanResultBlock[8 + 4], 65);
    EXPECT_EQ(A()->ScanResultBlock[8 + 5], 0);
    auto q = host_->Query(adapter_, OID_802_11_BSSID_LIST, 200);
    EXPECT_EQ(q.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(*q.bytes_written, 108u);
}

TEST_F(BssListTest, SignalAndQualityByFirmwareGeneration) {
    struct Case {
        bool newer;
        std::uint8_t signal;
        bool listed;
        LONG rssi;
        UCHAR quality;
    } cases[] = {
        {false, 200, true, -10, 65}, {false, 154, true, -10, 65}, {false, 109, true, -55, 65}, {false, 108, true, -56, 55},
        {false, 99, true, -65, 55},  {false, 94, true, -70, 40},  {false, 89, true, -75, 30},  {false, 79, true, -85, 20},
        {false, 74, true, -90, 10},  {false, 60, true, -104, 5},  {false, 30, true, -115, 5},  {false, 0, false, 0, 0},
        {true, 0xC4, true, -60, 55}, {true, 0x9C, true, -100, 5}, {true, 0x00, true, 0, 65},
    };
    for (const Case& c : cases) {
        Reset();
        config_.newer_firmware = c.newer;
        ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
        if (c.newer) A()->ScanState = SCAN_SURVEY;  // newer firmware's scan frames count only in a survey
        Entry e;
        e.signal = c.signal;
        Deliver(ScanFrame(INFO_TYPE_SCAN, {e}));
        ASSERT_EQ(Items(), c.listed ? 1u : 0u) << int(c.signal);
        if (c.listed) {
            EXPECT_EQ(Slot(0).Rssi, c.rssi) << (c.newer ? "newer " : "older ") << int(c.signal);
            EXPECT_EQ(A()->ScanResultBlock[12], c.quality) << int(c.signal);
        } else {
            EXPECT_EQ(A()->ScanResultBlock[12], 0) << "a skipped entry keeps its signal byte";
            EXPECT_EQ(A()->ScanResultBlock[13], 0x5A);
        }
        Halt();
    }
}

TEST_F(BssListTest, ChannelModeNameAndIntervalRules) {
    StartOlder();
    std::vector<Entry> entries(6);
    entries[0].channel = 1;
    entries[1].channel = 11;
    entries[1].bssid[5] = 2;
    entries[2].capability = 0x0002;  // IBSS only
    entries[2].bssid[5] = 3;
    entries[3].capability = 0x0003;
    entries[3].bssid[5] = 4;
    entries[4].ssid_length = 0;  // listed with all 32 bytes of the entry
    entries[4].ssid = "zero-length-name";
    entries[4].bssid[5] = 5;
    entries[5].interval = 0;  // not listed
    entries[5].bssid[5] = 6;
    Deliver(ScanFrame(INFO_TYPE_SCAN, entries));
    ASSERT_EQ(Items(), 5u);
    EXPECT_EQ(Slot(0).Configuration.DSConfig, 2412000u);
    EXPECT_EQ(Slot(1).Configuration.DSConfig, 2462000u);
    EXPECT_EQ(Slot(2).InfrastructureMode, Ndis802_11IBSS);
    EXPECT_EQ(Slot(3).InfrastructureMode, Ndis802_11Infrastructure);
    EXPECT_EQ(Slot(4).Ssid.SsidLength, 32u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Slot(4).Ssid.Ssid), 16), "zero-length-name");
    EXPECT_EQ(A()->ScanResultBlock[8 + 5 * 62 + 4], 65) << "the skipped entry's signal was still replaced";
}

TEST_F(BssListTest, TheSameBssidOccupiesOneSlotWithItsNewestValues) {
    StartOlder();
    Entry first;
    first.ssid = "longername";
    first.ssid_length = 10;
    first.signal = 100;
    Deliver(ScanFrame(INFO_TYPE_SCAN, {first}));
    Entry again = first;
    again.ssid = "ab";
    again.ssid_length = 2;
    again.signal = 130;
    again.channel = 3;
    Deliver(ScanFrame(INFO_TYPE_SCAN, {again}));
    ASSERT_EQ(Items(), 1u);
    EXPECT_EQ(Ssid(Slot(0)), "ab");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Slot(0).Ssid.Ssid), 10), "abngername") << "bytes past the new name stay";
    EXPECT_EQ(Slot(0).Rssi, 130 - 164);
    EXPECT_EQ(Slot(0).Configuration.DSConfig, 2422000u);
}

TEST_F(BssListTest, NineteenBssAreListedAtMost) {
    StartOlder();
    auto many = [](int from, int count) {
        std::vector<Entry> v(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) v[static_cast<std::size_t>(i)].bssid[5] = static_cast<std::uint8_t>(from + i);
        return v;
    };
    Deliver(ScanFrame(INFO_TYPE_SCAN, many(1, 15)));
    Deliver(ScanFrame(INFO_TYPE_SCAN, many(16, 10)));
    EXPECT_EQ(Items(), 19u);
    EXPECT_EQ(Slot(18).MacAddress[5], 19);
    EXPECT_EQ(Slot(19).MacAddress[5], 25) << "every further BSS lands in the twentieth slot";
    auto q = host_->Query(adapter_, OID_802_11_BSSID_LIST, 4 + 20 * 104);
    EXPECT_EQ(*q.bytes_written, 4u + 19 * 104);
    auto small = host_->Query(adapter_, OID_802_11_BSSID_LIST, 100);
    EXPECT_EQ(small.status, NDIS_STATUS_INVALID_LENGTH);
    EXPECT_EQ(*small.bytes_needed, 4u + 19 * 104);
}

TEST_F(BssListTest, HostScanResultsAreConvertedToFifteenEntriesAtMost) {
    StartOlder();
    std::vector<Entry> entries(19);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].bssid[5] = static_cast<std::uint8_t>(i + 1);
        entries[i].channel = static_cast<std::uint16_t>(1 + i % 11);
    }
    Deliver(ScanFrame(INFO_TYPE_HOST_SCAN, entries, 64));
    EXPECT_EQ(Items(), 15u);
    const UCHAR* block = A()->ScanResultBlock;
    EXPECT_EQ(block[0] | block[1] << 8, (8 + 15 * 62) / 2);
    EXPECT_EQ(block[2] | block[3] << 8, INFO_TYPE_SCAN);
    EXPECT_EQ(block[8 + 14 * 62 + 6 + 5], 15) << "the fifteenth entry's BSSID";
    EXPECT_EQ(Slot(14).Configuration.DSConfig, (1 + 14 % 11) * 5000u + 2407000u);
}

TEST_F(BssListTest, LengthWordsThatLieReachNothingOutsideWhatWasRead) {
    StartOlder();
    // Nineteen entries on the controller but a length word of 0xFFFF: only
    // 491 words are read, and only the entries wholly inside them are used.
    std::vector<Entry> entries(19);
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i].bssid[5] = static_cast<std::uint8_t>(i + 1);
    Deliver(ScanFrame(INFO_TYPE_SCAN, entries, 62, 0xFFFF));
    EXPECT_EQ(Items(), 15u);
    for (std::size_t i = 982; i < SCAN_RESULT_BLOCK_SIZE; ++i) EXPECT_EQ(A()->ScanResultBlock[i], 0) << i;
    // Lengths of three words or less hold no entries.
    A()->BssList.NumberOfItems = 0;
    std::memset(A()->BssList.Bssid, 0, sizeof A()->BssList.Bssid);
    Deliver(ScanFrame(INFO_TYPE_SCAN, {Entry{}}, 62, 3));
    Deliver(ScanFrame(INFO_TYPE_HOST_SCAN, {Entry{}}, 64, 2));
    EXPECT_EQ(Items(), 0u);
}

TEST_F(BssListTest, NewerFirmwareScanFramesCountOnlyDuringASurvey) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    Deliver(ScanFrame(INFO_TYPE_SCAN, {Entry{}}));
    EXPECT_EQ(Items(), 0u);
    Deliver(ScanFrame(INFO_TYPE_HOST_SCAN, {Entry{}}, 64));
    EXPECT_EQ(Items(), 1u) << "host scan results count at any time";
}

TEST_F(BssListTest, ConnectingOnOlderFirmwareAsksForScanResults) {
    struct Case {
        bool newer;
        std::size_t inquiries;
    } cases[] = {{false, 1}, {true, 0}};
    for (const Case& c : cases) {
        Reset();
        config_.newer_firmware = c.newer;
        air::PeerConfig other;
        other.ssid = "neighbour";
        other.address = {0x02, 0x00, 0x5E, 0x20, 0x00, 0x09};
        other.channel = 11;
        AddPeer(other);
        StartConnected();
        RunFor(200'000);
        EXPECT_EQ(Inquiries(INFO_TYPE_SCAN), c.inquiries);
        EXPECT_EQ(Items(), c.newer ? 0u : 2u) << "both networks on the air";
        Halt();
    }
}

TEST_F(BssListTest, ScanRequestOnNewerFirmwareListsWhatIsOnTheAir) {
    for (int i = 0; i < 3; ++i) {
        air::PeerConfig ap;
        ap.ssid = "net-" + std::to_string(i);
        ap.address[5] = static_cast<std::uint8_t>(0x10 + i);
        ap.channel = 1 + 5 * i;
        ap.signal_dbm = -40 - 10 * i;
        ap.privacy = i == 2;
        AddPeer(ap);
    }
    registry_.SetText("ESSID", "net-0");
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    RunFor(500'000);
    EXPECT_EQ(Items(), 0u) << "newer firmware lists nothing unasked";
    Driver([&] {
        NdisAcquireSpinLock(&A()->Lock);
        EXPECT_EQ(HwRequestScan(A()), 0);
        NdisReleaseSpinLock(&A()->Lock);
    });
    RunFor(200'000);
    ASSERT_EQ(Items(), 3u);
    EXPECT_EQ(Ssid(Slot(0)), "net-0") << "strongest first";
    EXPECT_EQ(Slot(0).Rssi, -40);
    EXPECT_EQ(Slot(2).Rssi, -60);
    EXPECT_EQ(Slot(2).Privacy, 1u);
    EXPECT_EQ(Slot(1).Configuration.DSConfig, 2437000u);
}

TEST_F(BssListTest, CounterBlockArrivesWhole) {
    ASSERT_EQ(Start(), NDIS_STATUS_SUCCESS);
    for (int i = 0; i < 21; ++i) card_->Tallies()[static_cast<std::size_t>(i)] = 0x01010101u * static_cast<std::uint32_t>(i + 1);
    card_->Tallies()[20] = 0x12345678;
    Driver([&] {
        NdisAcquireSpinLock(&A()->Lock);
        EXPECT_EQ(HwInquire(A(), INFO_TYPE_F100), 0);
        NdisReleaseSpinLock(&A()->Lock);
    });
    RunFor(5000);
    const UCHAR* t = A()->TalliesBlock;
    EXPECT_EQ(t[0], 1);
    EXPECT_EQ(t[4], 2);
    EXPECT_EQ(t[80] | t[81] << 8 | t[82] << 16 | static_cast<ULONG>(t[83]) << 24, 0x12345678u) << "the last counter whole";
}

}  // namespace
