// The record catalogue: what each accessor puts into or takes out of the
// controller's records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/hw/hw.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::HwBench;

class RecordsTest : public HwBench {
  protected:
    void SetUp() override {
        HwBench::SetUp();
        Driver([&] { ASSERT_EQ(HwResetController(a_), 0); });
    }
    void SetEssid(const std::string& name) {
        std::memset(a_->Essid, 0, sizeof a_->Essid);
        std::memcpy(a_->Essid, name.data(), name.size());
        a_->EssidLength = static_cast<UCHAR>(name.size());
    }
    std::vector<std::uint16_t> Rec(std::uint16_t rid) { return *card_->Record(rid); }
};

TEST_F(RecordsTest, AnyInEveryLetterCaseMeansTheEmptyDesiredName) {
    struct Case {
        std::string essid;
        std::string desired;
    } cases[] = {{"aNy", ""}, {"ANY", ""}, {"any", ""}, {"ANYONE", "ANYONE"}, {"AN", "AN"}, {"Home", "Home"}};
    for (const Case& c : cases) {
        SetEssid(c.essid);
        Driver([&] {
            EXPECT_EQ(HwSetDesiredSsid(a_), 0);
            EXPECT_EQ(HwSetOwnSsid(a_), 0);
        });
        auto desired = Rec(RID_DESIRED_SSID);
        EXPECT_EQ(desired.size(), 19u) << c.essid;
        EXPECT_EQ(desired[0], 0x12);
        EXPECT_EQ(card::NameFromRecord(desired), c.desired) << c.essid;
        if (c.desired.empty()) {
            for (int i = 3; i < 19; ++i) EXPECT_EQ(desired[i], 0) << "the empty name is 32 zero bytes";
        }
        EXPECT_EQ(card::NameFromRecord(Rec(RID_OWN_SSID)), c.essid) << "the own name is always written unchanged";
    }
}

TEST_F(RecordsTest, WepFlagsWordFromTheSettings) {
    struct Case {
        ULONG wep_req, encrypt, decrypt, factor;
        USHORT flags;
    } cases[] = {
        {0, 1, 1, 3, 0xF0}, {3, 1, 1, 3, 0xF1}, {7, 1, 1, 3, 0xF5}, {3, 1, 1, 4, 0x91}, {3, 1, 1, 1, 0xB1},
        {3, 1, 1, 2, 0xD1}, {3, 0, 1, 3, 0xE1}, {3, 2, 0, 3, 0x61}, {0xFF, 1, 1, 0, 0x9D},
    };
    for (const Case& c : cases) {
        a_->EncryptInDriver = c.encrypt;
        a_->DecryptInDriver = c.decrypt;
        a_->WEPFactor = c.factor;
        Driver([&] { EXPECT_EQ(HwSetWepFlags(a_, c.wep_req), 0); });
        EXPECT_EQ(Rec(RID_WEP_FLAGS), (std::vector<std::uint16_t>{2, RID_WEP_FLAGS, c.flags}))
            << "WepReq " << c.wep_req << " factor " << c.factor;
    }
}

TEST_F(RecordsTest, KeyRecordsCarryTheKeyAndTheZeroByteAfterIt) {
    for (int i = 0; i < 14; ++i) a_->WepKeys[2][i] = static_cast<UCHAR>(0x10 + i);
    a_->WepKeys[2][14] = 0x77;  // beyond any key: never sent
    struct Case {
        ULONG wep_req;
        std::vector<std::uint16_t> words;
    } cases[] = {
        {7, {8, RID_DEFAULT_KEY2, 0x1110, 0x1312, 0x1514, 0x1716, 0x1918, 0x1B1A, 0x001C}},
        {3, {4, RID_DEFAULT_KEY2, 0x1110, 0x1312, 0x0014}},
    };
    for (const Case& c : cases) {
        a_->WepReq = c.wep_req;
        a_->WepKeys[2][c.wep_req == 7 ? 13 : 5] = 0;
        Driver([&] { EXPECT_EQ(HwSetDefaultKey(a_, 2), 0); });
        EXPECT_EQ(Rec(RID_DEFAULT_KEY2), c.words) << "WepReq " << c.wep_req;
    }
    Driver([&] { EXPECT_EQ(HwSetDefaultKey(a_, 4), HW_ERR_TIMEOUT) << "there is no fifth key record"; });
}

TEST_F(RecordsTest, LinkQualityByteIsClampedForTheVendorReport) {
    struct Case {
        std::uint8_t raw, kept;
    } cases[] = {{0x20, 0x31}, {0x31, 0x31}, {0x32, 0x32}, {0x50, 0x50}, {0x99, 0x99}, {0x9A, 0x9A}, {0xA0, 0x9A}};
    for (const Case& c : cases) {
        card_->SetRecord(RID_LINK_QUALITY, {4, RID_LINK_QUALITY, 0x0023, static_cast<std::uint16_t>(0x1100 | c.raw), 0x0005});
        UCHAR six[6] = {};
        Driver([&] { EXPECT_EQ(HwGetLinkQuality(a_, six), 0); });
        EXPECT_EQ(a_->VendorUserData[43], c.kept) << std::hex << int(c.raw);
        EXPECT_EQ(six[0], 0x23);
        EXPECT_EQ(six[2], c.raw);
        EXPECT_EQ(six[3], 0x11);
        EXPECT_EQ(six[4], 0x05);
    }
}

TEST_F(RecordsTest, NameLongerThanThirtyTwoIsClipped) {
    std::vector<std::uint16_t> rec = card::NameRecord(RID_CURRENT_SSID, std::string(32, 'x'));
    rec[2] = 40;
    card_->SetRecord(RID_CURRENT_SSID, rec);
    UCHAR name[NAME_FIELD_SIZE];
    std::memset(name, 0xEE, sizeof name);
    UCHAR length = 0;
    Driver([&] { EXPECT_EQ(HwGetRecordName(a_, RID_CURRENT_SSID, name, &length), 0); });
    EXPECT_EQ(length, 32);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name), 32), std::string(32, 'x'));
    EXPECT_EQ(name[32], 0);
}

TEST_F(RecordsTest, FailedReadsGiveTheirSubstitutes) {
    card_->faults().record_result[RID_CURRENT_BSSID] = 3;
    card_->faults().record_result[RID_LINK_QUALITY] = 3;
    a_->VendorUserData[43] = 0x44;
    UCHAR bssid[6] = {};
    UCHAR quality[6];
    std::memset(quality, 0xEE, sizeof quality);
    Driver([&] {
        EXPECT_EQ(HwGetCurrentBssid(a_, bssid), 3);
        EXPECT_EQ(HwGetLinkQuality(a_, quality), 3);
    });
    for (UCHAR b : bssid) EXPECT_EQ(b, 0xFF);
    EXPECT_EQ(a_->VendorUserData[43], 0x44) << "the last good link quality is kept";
}

TEST_F(RecordsTest, ScanMethodTestNeedsBothWords) {
    struct Case {
        USHORT word2, word3;
        bool newer;
    } cases[] = {{1, 3, true}, {1, 8, true}, {5, 3, true}, {2, 0, false}, {0, 9, false}, {0, 0, false}};
    for (const Case& c : cases) {
        a_->IdentityFd20[1] = c.word2;
        a_->IdentityFd20[2] = c.word3;
        EXPECT_EQ(HwNewerFirmware(a_) != 0, c.newer) << c.word2 << "," << c.word3;
    }
}

TEST_F(RecordsTest, TransmitRateAlsoWritesBasicRatesInModeThree) {
    struct Case {
        ULONG mode;
        unsigned basic_writes;
    } cases[] = {{1, 0}, {0, 0}, {3, 1}};
    for (const Case& c : cases) {
        a_->NetworkMode = c.mode;
        unsigned before = card_->RecordWrites(RID_BASIC_RATES);
        std::size_t mark = Mark();
        Driver([&] { EXPECT_EQ(HwSetTransmitRate(a_, 4), 0); });
        EXPECT_EQ(Rec(RID_TRANSMIT_RATE)[2], 4);
        EXPECT_EQ(card_->RecordWrites(RID_BASIC_RATES) - before, c.basic_writes) << "mode " << c.mode;
        auto selects = Since(mark).WritesTo(REG_SELECT1);
        ASSERT_EQ(selects.size(), 1u + c.basic_writes);
        EXPECT_EQ(selects[0], RID_TRANSMIT_RATE) << "the rate goes first";
    }
    EXPECT_EQ(Rec(RID_BASIC_RATES)[2], 0x000F);
}

TEST_F(RecordsTest, SmallAccessorsFillTheirLayouts) {
    const UCHAR mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    Driver([&] {
        EXPECT_EQ(HwSetRecordWord(a_, RID_AUTHENTICATION_TYPE, 4, 2), 0);
        EXPECT_EQ(HwSetRecordByte(a_, RID_OWN_CHANNEL, 0x10B), 0);
        EXPECT_EQ(HwSetPowerSave(a_, 1, 0x302), 0);
        EXPECT_EQ(HwSetMacAddress(a_, mac), 0);
        EXPECT_EQ(HwRequestScan(a_), 0);
        UCHAR mode = 0, level = 0;
        EXPECT_EQ(HwGetPowerSave(a_, &mode, &level), 0);
        EXPECT_EQ(mode, 1);
        EXPECT_EQ(level, 2);
    });
    EXPECT_EQ(Rec(RID_AUTHENTICATION_TYPE), (std::vector<std::uint16_t>{4, RID_AUTHENTICATION_TYPE, 2, 0, 0}));
    EXPECT_EQ(Rec(RID_OWN_CHANNEL), (std::vector<std::uint16_t>{2, RID_OWN_CHANNEL, 0x0B})) << "byte class";
    EXPECT_EQ(Rec(RID_PS_LEVEL)[2], 2);
    EXPECT_EQ(Rec(RID_MAC_ADDRESS), (std::vector<std::uint16_t>{4, RID_MAC_ADDRESS, 0x1102, 0x3322, 0x5544}));
    EXPECT_EQ(Rec(RID_SCAN_REQUEST), (std::vector<std::uint16_t>{4, RID_SCAN_REQUEST, 0x1FFF, 3, 0}));
    EXPECT_EQ(card_->StationAddress(), (card::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
}

}  // namespace
