// The adapter's registry parameters: defaults, conversions, and the WEP key
// text. The configuration is read the way MiniportInitialize reads it, through
// the host's configuration services.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "driver/frame/frame.h"
#include "tests/support/bench.h"

namespace {

using mirel_test::World;

class RegistryTest : public World {
  protected:
    // Reads the registry into a fresh, zero-filled Adapter record.
    NDIS_STATUS Read() {
        Build();
        host::AdapterSetup setup;
        setup.registry = registry_;
        setup.open_configuration_fails = open_fails_;
        adapter_ = host_->AddAdapter(setup);
        a_ = std::make_unique<ADAPTER>();
        std::memset(a_.get(), 0, sizeof(ADAPTER));
        NDIS_STATUS status = NDIS_STATUS_PENDING;
        host_->CallAsInitialize(adapter_, [&](NDIS_HANDLE, NDIS_HANDLE context) {
            status = ReadRegistryConfiguration(a_.get(), context);
        });
        EXPECT_EQ(host_->OpenConfigurationHandles(adapter_), 0) << "the configuration is always closed";
        return status;
    }
    std::string Key(int slot, int bytes) const {
        std::string s;
        for (int i = 0; i < bytes; ++i) {
            char buf[3];
            std::snprintf(buf, sizeof buf, "%02X", a_->WepKeys[slot][i]);
            s += buf;
        }
        return s;
    }
    std::string Name(const UCHAR* field, UCHAR length) const { return std::string(reinterpret_cast<const char*>(field), length); }

    std::unique_ptr<ADAPTER> a_;
    std::optional<NDIS_STATUS> open_fails_;
};

TEST_F(RegistryTest, DefaultsWhenOnlyTheIoBaseIsPresent) {
    registry_.Remove("InterruptNumber");
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    const ADAPTER& a = *a_;
    EXPECT_EQ(a.IoBaseAddress, 0x300u);
    EXPECT_EQ(Name(a.Essid, a.EssidLength), "ANY");
    EXPECT_EQ(a.Essid[3], 0);
    EXPECT_EQ(a.StationNameLength, 0);
    EXPECT_EQ(a.NetworkMode, 1u);
    EXPECT_EQ(a.APDensity, 1u);
    EXPECT_EQ(a.Channel, 10u);
    EXPECT_EQ(a.TransmitRate, 15u);
    EXPECT_EQ(a.MediumReservation, 3000u);
    EXPECT_EQ(a.PSMode, 0u);
    EXPECT_EQ(a.PSLevel, 0u);
    EXPECT_EQ(a.WepReq, 0u);
    EXPECT_EQ(a.DefaultKeyId, 255u);
    for (int slot = 0; slot < 4; ++slot) EXPECT_EQ(Key(slot, 14), std::string(28, '0'));
    for (UCHAR c : a.DefaultKeysText) EXPECT_EQ(c, 0);
    EXPECT_EQ(a.DecryptInDriver, 1u);
    EXPECT_EQ(a.EncryptInDriver, 1u);
    EXPECT_EQ(a.WEPFactor, 3u);
    EXPECT_EQ(a.ShortPreamble, 1u);
    EXPECT_EQ(a.AuthenticationType, 1u);
    EXPECT_EQ(a.FragThresh, 2346u);
    EXPECT_EQ(a.PollInDriver, 0u);
    EXPECT_EQ(a.IVCount, 1000);
    EXPECT_STREQ(reinterpret_cast<const char*>(a.VendorDescription), "VORTANE 11Mbps WirelessLAN");
    EXPECT_EQ(a.WinXP, 1);
    EXPECT_EQ(a.RadioDisable, 0u);
    EXPECT_EQ(a.InterruptNumber, 0u);
    for (UCHAR b : a.CurrentAddress) EXPECT_EQ(b, 0);
}

TEST_F(RegistryTest, KeywordsAreReadInOrderWithTheNetworkAddressBeforeIvCount) {
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    std::vector<std::string> expected;
    for (const REGISTRY_KEYWORD& k : RegistryKeywords) {
        expected.push_back(k.Text);
        if (std::string(k.Text) == "PollInDriver") expected.push_back("(network address)");
    }
    EXPECT_EQ(host_->ConfigurationReads(adapter_), expected);
    EXPECT_EQ(expected.size(), 26u);
}

TEST_F(RegistryTest, ValuesAreStoredAsReadWithTheirConversions) {
    registry_.SetText("IoBaseAddress", "0x3E0")
        .SetNumber("InterruptNumber", 0x1234)
        .SetText("NetworkMode", "3")
        .SetText("APDensity", "300")
        .SetText("Channel", "14")
        .SetNumber("TransmitRate", 0x10004)
        .SetText("MediumReservation", "70000")
        .SetText("PSMode", "1")
        .SetText("PSLevel", "9")
        .SetText("DefaultKeyId", "2")
        .SetText("DecryptInDriver", "0")
        .SetText("EncryptInDriver", "2")
        .SetText("WEPFactor", "7")
        .SetText("ShortPreamble", "0")
        .SetText("AuthenticationType", "3")
        .SetText("FragThresh", "512")
        .SetText("PollInDriver", "1")
        .SetNumber("IVCount", 0x12345)
        .SetNumber("WinXP", 0x100)
        .SetNumber("RadioDisable", 0x201)
        .SetText("StationName", "lab-7")
        .SetText("VendorDesc", std::string(200, 'v'));
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    const ADAPTER& a = *a_;
    EXPECT_EQ(a.IoBaseAddress, 0x3E0u) << "hexadecimal";
    EXPECT_EQ(a.InterruptNumber, 0x34u) << "low 8 bits";
    EXPECT_EQ(a.NetworkMode, 3u);
    EXPECT_EQ(a.APDensity, 300u) << "no range check";
    EXPECT_EQ(a.Channel, 14u);
    EXPECT_EQ(a.TransmitRate, 0x10004u);
    EXPECT_EQ(a.MediumReservation, 70000u);
    EXPECT_EQ(a.PSMode, 1u);
    EXPECT_EQ(a.PSLevel, 9u);
    EXPECT_EQ(a.DefaultKeyId, 2u);
    EXPECT_EQ(a.DecryptInDriver, 0u);
    EXPECT_EQ(a.EncryptInDriver, 2u);
    EXPECT_EQ(a.WEPFactor, 7u);
    EXPECT_EQ(a.ShortPreamble, 0u);
    EXPECT_EQ(a.AuthenticationType, 3u);
    EXPECT_EQ(a.FragThresh, 512u);
    EXPECT_EQ(a.PollInDriver, 1u);
    EXPECT_EQ(a.IVCount, 0x2345) << "low 16 bits";
    EXPECT_EQ(a.WinXP, 0) << "low 8 bits";
    EXPECT_EQ(a.RadioDisable, 1u) << "low 8 bits";
    EXPECT_EQ(Name(a.StationName, a.StationNameLength), "lab-7");
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(a.VendorDescription)), 127u);
}

TEST_F(RegistryTest, BadTextFallsBackToTheDefault) {
    registry_.SetText("Channel", "eleven").SetText("FragThresh", "");
    ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a_->Channel, 10u);
    EXPECT_EQ(a_->FragThresh, 2346u);
}

TEST_F(RegistryTest, NamesAreCutToThirtyTwoCharacters) {
    struct Case {
        std::string essid, stored;
    } cases[] = {{std::string(40, 'n'), std::string(32, 'n')}, {"any", "any"}, {"", ""}, {std::string(32, 'x'), std::string(32, 'x')}};
    for (const Case& c : cases) {
        host_.reset();
        registry_.SetText("ESSID", c.essid);
        ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(Name(a_->Essid, a_->EssidLength), c.stored);
        EXPECT_EQ(a_->Essid[a_->EssidLength], 0);
    }
}

TEST_F(RegistryTest, DefaultKeysText) {
    const std::string k40 = "0102030405" "1112131415" "2122232425" "3132333435";
    struct Case {
        const char* name;
        ULONG wep_req;
        std::string text;
        bool ansi;
        std::string keys[4];  // hex of the bytes each slot must hold (6 bytes; 14 for slot 0 with WepReq 7)
    } cases[] = {
        {"40-bit, four keys", 3, k40, false, {"010203040500", "111213141500", "212223242500", "313233343500"}},
        {"40-bit, ten digits only", 3, "0A0B0C0D0E", false, {"000000000000", "000000000000", "000000000000", "000000000000"}},
        {"40-bit, G in the second key", 3, "0102030405" "11121G1415" "2122232425" "3132333435", false,
         {"010203040500", "000000000000", "212223242500", "313233343500"}},
        {"40-bit, lower case", 3, "abcdefabcd" "1112131415" "2122232425" "3132333435", false,
         {"ABCDEFABCD00", "111213141500", "212223242500", "313233343500"}},
        {"104-bit", 7, "000102030405060708090A0B0C", false, {"000102030405060708090A0B0C00", "000000000000", "000000000000", "000000000000"}},
        {"104-bit, 25 digits", 7, "000102030405060708090A0B0", false,
         {"0000000000000000000000000000", "000000000000", "000000000000", "000000000000"}},
        {"104-bit, one bad pair", 7, "0001Z2030405060708090A0B0C", false,
         {"000100030405060708090A0B0C00", "000000000000", "000000000000", "000000000000"}},
        {"other WepReq, short text", 1, "0102030405AB", false, {"010203040500", "000000000000", "000000000000", "000000000000"}},
        {"more than 40 characters", 3, k40 + "FFFF", false, {"010203040500", "111213141500", "212223242500", "313233343500"}},
        {"8-bit text", 3, k40, true, {"010203040500", "111213141500", "212223242500", "313233343500"}},
    };
    for (const Case& c : cases) {
        host_.reset();
        registry_.SetNumber("WepReq", c.wep_req);
        if (c.ansi) {
            registry_.SetAnsiText("DefaultKeys", c.text);
        } else {
            registry_.SetText("DefaultKeys", c.text);
        }
        ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS) << c.name;
        for (int slot = 0; slot < 4; ++slot) {
            int bytes = static_cast<int>(c.keys[slot].size() / 2);
            EXPECT_EQ(Key(slot, bytes), c.keys[slot]) << c.name << ", slot " << slot;
        }
        std::string text(reinterpret_cast<const char*>(a_->DefaultKeysText), 40);
        if (c.text.size() >= 40) {
            EXPECT_EQ(text, c.text.substr(0, 40)) << c.name;
        }
    }
}

TEST_F(RegistryTest, NetworkAddressIsTakenOnlyWithSixBytes) {
    struct Case {
        std::optional<std::string> text;
        std::vector<UCHAR> address;
    } cases[] = {{"02AABBCCDDEE", {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE}},
                 {"0A0B0C0D", {0, 0, 0, 0, 0, 0}},
                 {"02AABBCCDDEEFF", {0, 0, 0, 0, 0, 0}},
                 {std::nullopt, {0, 0, 0, 0, 0, 0}}};
    for (const Case& c : cases) {
        host_.reset();
        registry_.Remove("NetworkAddress");
        if (c.text) registry_.SetNetworkAddress(*c.text);
        ASSERT_EQ(Read(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<UCHAR>(a_->CurrentAddress, a_->CurrentAddress + 6), c.address) << c.text.value_or("none");
    }
}

TEST_F(RegistryTest, MissingIoBaseStopsTheReading) {
    registry_.Remove("IoBaseAddress");
    EXPECT_EQ(Read(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(host_->ConfigurationReads(adapter_), std::vector<std::string>{"IoBaseAddress"});
}

TEST_F(RegistryTest, ConfigurationThatCannotBeOpenedReturnsItsStatus) {
    open_fails_ = NDIS_STATUS_RESOURCES;
    EXPECT_EQ(Read(), NDIS_STATUS_RESOURCES);
    EXPECT_TRUE(host_->ConfigurationReads(adapter_).empty());
}

TEST(HexPair, ConvertsBothCasesAndRefusesTheRest) {
    struct Case {
        char high, low;
        bool ok;
        UCHAR value;
    } cases[] = {{'0', '0', true, 0x00}, {'f', 'F', true, 0xFF}, {'A', '9', true, 0xA9}, {'9', 'a', true, 0x9A},
                 {'G', '0', false, 0},   {'0', 'g', false, 0},   {' ', '1', false, 0}, {'1', '\0', false, 0}};
    for (const Case& c : cases) {
        UCHAR out = 0x55;
        EXPECT_EQ(HexPairToByte(static_cast<UCHAR>(c.low), static_cast<UCHAR>(c.high), &out) != 0, c.ok) << c.high << c.low;
        EXPECT_EQ(out, c.ok ? c.value : 0x55) << "a refused pair leaves the destination alone";
    }
}

}  // namespace
