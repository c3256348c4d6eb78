// The host WEP engine against independent vectors: RC4 from RFC 6229, CRC-32
// of "123456789", and WEP bodies computed outside the project.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/datapath/datapath.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<UCHAR>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string Hex(const UCHAR* data, std::size_t n) {
    std::string s;
    char buf[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        s += buf;
    }
    return s;
}

// The plaintext and the bodies below were computed with Python's zlib.crc32
// and an RC4 written in Python for this purpose: IV 12 34 56, the 40-bit key
// 0a1b2c3d4e with key index 1, and the 104-bit key 00112233445566778899aabbcc
// with key index 0.
const char* kPlain =
    "aaaa03000000080054686520717569636b2062726f776e20666f78206a756d7073206f76657220746865206c617a7920646f67";
const char* kWep40 =
    "123456400f39018507afbf4389952d7e8a9f6458a39df387bc47990ff0b73d1b3ed6a69d41654cb6b081a3e541d96cdc31e180a670107fd9cd"
    "30e2";
const char* kWep104 =
    "12345600811fb6540e71d749e931d5027782b354c6d616fade6b43f3eab1cae18c8702765f43680eb46309050f0b212cecb3283ca413dbc0"
    "1b461d";

class WepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        a_ = std::make_unique<ADAPTER>();
        std::memset(a_.get(), 0, sizeof(ADAPTER));
        a_->IVCount = 1000;
        a_->DefaultKeyId = 255;
        a_->WepReq = 3;
        a_->EncryptInDriver = 1;
        a_->DecryptInDriver = 1;
    }
    void SetKey(int slot, const Bytes& key) {
        std::memset(a_->WepKeys[slot], 0, WEP_KEY_SLOT_SIZE);
        std::memcpy(a_->WepKeys[slot], key.data(), key.size());
    }
    std::string Keystream(const Bytes& seed, std::size_t n) {
        Rc4KeySchedule(a_.get(), seed.data(), seed.size());
        Rc4Keystream(a_.get(), a_->TxKeystream);
        return Hex(a_->TxKeystream, n);
    }
    std::unique_ptr<ADAPTER> a_;
};

TEST_F(WepTest, Rc4MatchesRfc6229) {
    // Key 0x0102030405 and the 128-bit key 0x0102...10, output bytes 0..31.
    EXPECT_EQ(Keystream(FromHex("0102030405"), 32),
              "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919");
    EXPECT_EQ(Keystream(FromHex("0102030405060708090a0b0c0d0e0f10"), 32),
              "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c");
    // Offsets 240 and 256 of the 40-bit key.
    Keystream(FromHex("0102030405"), 0);
    EXPECT_EQ(Hex(a_->TxKeystream + 240, 32), "28cb1132c96ce286421dcaadb8b69eae1cfcf62b03eddb641d77dfcf7f8d8c93");
}

TEST_F(WepTest, Crc32OfTheCheckString) {
    CrcBuildTable(a_.get());
    const char* text = "123456789";
    EXPECT_EQ(WepIcv(a_.get(), reinterpret_cast<const UCHAR*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(CrcFinish(CrcUpdate(a_.get(), 0xFFFFFFFFu, nullptr, 0)), 0u);
}

TEST_F(WepTest, DecryptsBodiesMadeElsewhere) {
    SetKey(1, FromHex("0a1b2c3d4e"));
    SetKey(0, FromHex("00112233445566778899aabbcc"));
    struct Case {
        ULONG wep_req;
        const char* body;
    } cases[] = {{3, kWep40}, {7, kWep104}};
    for (const Case& c : cases) {
        a_->WepReq = c.wep_req;
        WepInit(a_.get());
        Bytes body = FromHex(c.body);
        ASSERT_TRUE(WepDecrypt(a_.get(), body.data(), static_cast<USHORT>(body.size()))) << c.wep_req;
        EXPECT_EQ(Hex(body.data() + 4, body.size() - 8), kPlain) << c.wep_req;
        // One bit changed anywhere in the ciphertext breaks the ICV.
        Bytes bad = FromHex(c.body);
        bad[20] ^= 0x01;
        EXPECT_FALSE(WepDecrypt(a_.get(), bad.data(), static_cast<USHORT>(bad.size()))) << c.wep_req;
    }
}

TEST_F(WepTest, EncryptsWhatOthersCanDecrypt) {
    // The transmit side, driven the way TransmitFrame drives it, must produce
    // exactly the body computed elsewhere for the same IV and key.
    a_->WepReq = 3;
    a_->DefaultKeyId = 1;
    SetKey(1, FromHex("0a1b2c3d4e"));
    WepInit(a_.get());
    a_->TxIv[0] = 0x12;
    a_->TxIv[1] = 0x34;
    a_->TxIv[2] = 0x56;
    WepRekey(a_.get(), WEP_SELECT_DEFAULT);
    Bytes plain = FromHex(kPlain);
    Bytes body(4 + plain.size() + 4);
    std::memcpy(body.data(), a_->TxIv, 4);
    std::memcpy(body.data() + 4, plain.data(), plain.size());
    ULONG icv = WepIcv(a_.get(), body.data() + 4, static_cast<USHORT>(plain.size()));
    for (int i = 0; i < 4; ++i) body[4 + plain.size() + i] = static_cast<UCHAR>(icv >> (8 * i));
    XorTxKeystream(a_.get(), body.data() + 4, static_cast<USHORT>(plain.size() + 4));
    EXPECT_EQ(Hex(body.data(), body.size()), kWep40);
}

TEST_F(WepTest, IvScheduleServesIvCountFramesThenIvCountPlusOne) {
    struct Case {
        USHORT iv_count;
        std::vector<std::pair<int, int>> runs;  // (frames, IV byte 0) in order
    } cases[] = {{1000, {{1000, 0}, {1001, 1}, {1001, 2}}}, {0, {{1, 1}, {1, 2}, {1, 3}}}, {1, {{1, 0}, {2, 1}, {2, 2}}}};
    for (const Case& c : cases) {
        SetUp();
        a_->IVCount = c.iv_count;
        WepInit(a_.get());
        for (const auto& [frames, iv] : c.runs) {
            for (int f = 0; f < frames; ++f) {
                WepIvStep(a_.get());
                ASSERT_EQ(a_->TxIv[0], iv) << "IVCount " << c.iv_count << ", a frame of the run with IV " << iv;
            }
        }
    }
}

TEST_F(WepTest, IvWrapsAfterTwoToTheTwentyFourAndKeepsTheKeyByte) {
    a_->IVCount = 0;
    a_->DefaultKeyId = 2;
    WepInit(a_.get());
    EXPECT_EQ(a_->TxIv[3], 0x80);
    a_->TxIv[0] = a_->TxIv[1] = a_->TxIv[2] = 0xFF;
    WepIvStep(a_.get());
    EXPECT_EQ(Hex(a_->TxIv, 4), "00000080");
    EXPECT_EQ(Hex(a_->TxSeed, 3), "000000");
}

TEST_F(WepTest, TransmitKeyComesFromTheSelectionTable) {
    for (int slot = 0; slot < 4; ++slot) {
        Bytes key(13, static_cast<UCHAR>(0x10 * (slot + 1)));
        SetKey(slot, key);
    }
    struct Case {
        ULONG wep_req, key_id, selection;
        UCHAR key_byte;   // TxIv[3]
        UCHAR seed_key;   // first key byte in TxSeed
    } cases[] = {
        {3, 255, WEP_SELECT_DEFAULT, 0xC0, 0x10}, {3, 2, WEP_SELECT_DEFAULT, 0x80, 0x30},
        {3, 0, WEP_SELECT_DEFAULT, 0x00, 0x10},   {7, 2, WEP_SELECT_DEFAULT, 0x80, 0x10},
        {7, 2, WEP_SELECT_ADD_WEP, 0x80, 0x30},   {7, 4, WEP_SELECT_ADD_WEP, 0x00, 0x10},
    };
    for (const Case& c : cases) {
        a_->WepReq = c.wep_req;
        a_->DefaultKeyId = c.key_id;
        WepInit(a_.get());
        WepRekey(a_.get(), c.selection);
        EXPECT_EQ(a_->TxIv[3], c.key_byte) << c.wep_req << "/" << c.key_id;
        EXPECT_EQ(a_->TxSeed[3], c.seed_key) << c.wep_req << "/" << c.key_id << "/" << c.selection;
        EXPECT_EQ(a_->FramesSinceIv, 0);
    }
}

TEST_F(WepTest, ReceiveKeystreamIsReusedWhileTheIvAndKeyStay) {
    SetKey(1, FromHex("0a1b2c3d4e"));
    SetKey(2, FromHex("5566778899"));
    WepInit(a_.get());
    Bytes body = FromHex(kWep40);
    ASSERT_TRUE(WepDecrypt(a_.get(), body.data(), static_cast<USHORT>(body.size())));
    // Spoil the cached keystream: a second frame with the same per-frame key
    // can only fail now if the cache is really used instead of a new schedule.
    a_->RxKeystream[0] ^= 0xFF;
    Bytes again = FromHex(kWep40);
    EXPECT_FALSE(WepDecrypt(a_.get(), again.data(), static_cast<USHORT>(again.size())));
    // The same IV with another key index is another per-frame key: a new
    // schedule, with slot 2's key (which this frame was not made with).
    Bytes other = FromHex(kWep40);
    other[3] = 0x80;
    EXPECT_FALSE(WepDecrypt(a_.get(), other.data(), static_cast<USHORT>(other.size())));
    EXPECT_EQ(Hex(a_->RxSeedCache, 8), "1234565566778899");
    // Back to key index 1: scheduled afresh, so the spoiled keystream is gone.
    Bytes first = FromHex(kWep40);
    EXPECT_TRUE(WepDecrypt(a_.get(), first.data(), static_cast<USHORT>(first.size())));
}

TEST_F(WepTest, ShortBodies) {
    WepInit(a_.get());
    // Eight bytes: an IV header and the ICV of nothing.
    UCHAR empty[8] = {0x01, 0x02, 0x03, 0x00};
    Bytes seed = {0x01, 0x02, 0x03, 0, 0, 0, 0, 0};
    UCHAR icv[4] = {0, 0, 0, 0};  // CRC-32 of no bytes is 0
    Rc4KeySchedule(a_.get(), seed.data(), seed.size());
    UCHAR stream[KEYSTREAM_LENGTH];
    Rc4Keystream(a_.get(), stream);
    for (int i = 0; i < 4; ++i) empty[4 + i] = icv[i] ^ stream[i];
    EXPECT_TRUE(WepDecrypt(a_.get(), empty, 8));
    // Anything shorter cannot carry an ICV and is refused, not read past.
    UCHAR tiny[7] = {};
    for (USHORT n = 0; n < 8; ++n) EXPECT_FALSE(WepDecrypt(a_.get(), tiny, n)) << n;
}

TEST_F(WepTest, FirstFrameWithIvZeroAndAZeroKeyDecrypts) {
    WepInit(a_.get());  // all keys zero
    std::array<Bytes, 1> unused;
    (void)unused;
    Bytes plain = FromHex(kPlain);
    Bytes seed(8, 0);
    Rc4KeySchedule(a_.get(), seed.data(), seed.size());
    UCHAR stream[KEYSTREAM_LENGTH];
    Rc4Keystream(a_.get(), stream);
    Bytes body = {0, 0, 0, 0};
    body.insert(body.end(), plain.begin(), plain.end());
    ULONG icv = WepIcv(a_.get(), plain.data(), static_cast<USHORT>(plain.size()));
    for (int i = 0; i < 4; ++i) body.push_back(static_cast<UCHAR>(icv >> (8 * i)));
    for (std::size_t i = 4; i < body.size(); ++i) body[i] ^= stream[i - 4];
    EXPECT_TRUE(WepDecrypt(a_.get(), body.data(), static_cast<USHORT>(body.size())));
    EXPECT_EQ(Hex(body.data() + 4, plain.size()), kPlain);
}

}  // namespace
