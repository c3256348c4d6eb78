// Round trips through the air: Ethernet frames sent by the protocol arrive at
// the access point unchanged, and frames from the access point are indicated
// to the protocol unchanged, with every kind of privacy the driver offers.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <functional>

#include "tests/support/bench.h"

namespace {

using mirel_test::World;
using wifi::Bytes;

struct Privacy {
    const char* name;
    std::function<void(host::Registry&)> registry;
    std::function<void(air::PeerConfig&)> ap;
    bool protected_on_air;
};

const Bytes kKeys40[4] = {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E}, {0x11, 0x22, 0x33, 0x44, 0x55},
                          {0x66, 0x77, 0x88, 0x99, 0xAA}, {0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
const Bytes kKey104 = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};

std::vector<Privacy> Cases() {
    auto keys40 = [](air::PeerConfig& ap, int tx_index) {
        ap.privacy = true;
        for (int i = 0; i < 4; ++i) ap.keys[static_cast<std::size_t>(i)] = kKeys40[i];
        ap.tx_key_index = tx_index;
    };
    return {
        {"open", [](host::Registry&) {}, [](air::PeerConfig&) {}, false},
        {"40-bit host WEP",
         [](host::Registry& r) {
             r.SetNumber("WepReq", 3).SetNumber("DefaultKeyId", 1).SetText("DefaultKeys", "0A1B2C3D4E" "1122334455" "66778899AA" "BBCCDDEEFF");
         },
         [=](air::PeerConfig& ap) { keys40(ap, 2); }, true},
        {"104-bit host WEP",
         [](host::Registry& r) {
             r.SetNumber("WepReq", 7).SetNumber("DefaultKeyId", 0).SetText("DefaultKeys", "00112233445566778899AABBCC");
         },
         [](air::PeerConfig& ap) {
             ap.privacy = true;
             ap.keys[0] = kKey104;
             ap.tx_key_index = 0;
         },
         true},
        {"controller WEP",
         [](host::Registry& r) {
             r.SetNumber("WepReq", 3).SetNumber("DefaultKeyId", 1).SetNumber("EncryptInDriver", 0).SetNumber("DecryptInDriver", 0)
                 .SetText("DefaultKeys", "0A1B2C3D4E" "1122334455" "66778899AA" "BBCCDDEEFF");
         },
         [=](air::PeerConfig& ap) { keys40(ap, 3); }, true},
    };
}

class RoundTripTest : public World, public ::testing::WithParamInterface<Privacy> {};

TEST_P(RoundTripTest, FramesCrossTheAirUnchangedBothWays) {
    const Privacy& p = GetParam();
    p.registry(registry_);
    air::PeerConfig config;
    p.ap(config);
    air::AccessPoint& ap = StartConnected(config);
    ASSERT_TRUE(MediaConnected());
    const net::Ip own_ip = {192, 168, 77, 2};
    host_->ClearIndications(adapter_);
    ap.ClearReceived();
    air_->ClearCapture();

    // Pings of every size up to a full Ethernet frame: each request arrives
    // as sent, each reply comes back as the access point built it.
    std::vector<std::size_t> sizes = {0, 1, 17, 18, 100, 1000, 1472};
    std::uint16_t seq = 0;
    for (std::size_t size : sizes) {
        ++seq;
        Bytes data(size);
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + seq);
        wifi::Ethernet request = net::IcmpEcho(StationMac(), own_ip, ap.config().address, ap.config().ip, 8, 0x77, seq, data);
        std::size_t before = Indicated().size();
        Send(request);
        ASSERT_TRUE(RunUntil([&] { return Indicated().size() > before; }, 200'000)) << p.name << " size " << size;
        const wifi::Ethernet& got = ap.Received().back();
        EXPECT_EQ(wifi::BuildEthernet(got), wifi::BuildEthernet(request)) << p.name << " size " << size;
        Bytes reply = wifi::BuildEthernet(net::IcmpEcho(ap.config().address, ap.config().ip, StationMac(), own_ip, 0, 0x77, seq, data));
        Bytes indicated = host_->ReceivedFrames(adapter_).back();
        ASSERT_GE(indicated.size(), reply.size()) << p.name << " size " << size;
        EXPECT_TRUE(std::equal(reply.begin(), reply.end(), indicated.begin())) << p.name << " size " << size;
        for (std::size_t i = reply.size(); i < indicated.size(); ++i) EXPECT_EQ(indicated[i], 0) << "padding";
        EXPECT_EQ(indicated.size(), std::max<std::size_t>(reply.size(), 60));
    }
    EXPECT_EQ(ap.endpoint().EchoesAnswered(), sizes.size());

    // Any Ethernet type, and the largest frame, from the access point.
    wifi::Ethernet big;
    big.destination = StationMac();
    big.source = ap.config().address;
    big.type = 0x88B5;
    for (int i = 0; i < 1500; ++i) big.payload.push_back(static_cast<std::uint8_t>(i));
    ap.SendEthernet(big);
    RunFor(50'000);
    EXPECT_EQ(host_->ReceivedFrames(adapter_).back(), wifi::BuildEthernet(big)) << p.name;

    // What went over the air was protected exactly when it should be.
    std::size_t data_frames = 0, protected_frames = 0;
    for (const auto& t : air_->Captured()) {
        auto parsed = wifi::Parse(t.frame);
        if (!parsed || parsed->first.type() != wifi::kTypeData) continue;
        ++data_frames;
        protected_frames += parsed->first.is_protected() ? 1 : 0;
    }
    EXPECT_EQ(data_frames, 2 * sizes.size() + 1);
    EXPECT_EQ(protected_frames, p.protected_on_air ? data_frames : 0) << p.name;
    EXPECT_EQ(ap.DecryptFailures(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Privacy, RoundTripTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Privacy>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST_F(World, AirCaptureIsAPcapOfRealFrames) {
    StartConnected();
    std::string path = ::testing::TempDir() + "/mirel_air.pcap";
    ASSERT_EQ(air_->WritePcap(path), "");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char header[24];
    ASSERT_EQ(std::fread(header, 1, 24, f), 24u);
    EXPECT_EQ(header[0], 0xD4);
    EXPECT_EQ(header[3], 0xA1);
    EXPECT_EQ(header[20], 105) << "link type: 802.11";
    std::size_t records = 0;
    unsigned char record[16];
    while (std::fread(record, 1, 16, f) == 16) {
        std::uint32_t length = record[8] | record[9] << 8 | record[10] << 16 | static_cast<std::uint32_t>(record[11]) << 24;
        std::vector<unsigned char> frame(length);
        ASSERT_EQ(std::fread(frame.data(), 1, length, f), length);
        ASSERT_TRUE(wifi::Parse(Bytes(frame.begin(), frame.end())).has_value());
        ++records;
    }
    std::fclose(f);
    EXPECT_EQ(records, air_->Captured().size());
    EXPECT_GE(records, 6u) << "beacons, authentication, association, vendor request and answer";
    std::remove(path.c_str());
}

}  // namespace
