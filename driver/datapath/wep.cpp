// Host WEP engine: RC4 with a per-frame key of IV and WEP key, CRC-32 as the
// integrity check value. Each direction keeps the first KEYSTREAM_LENGTH
// bytes of RC4 output for its current per-frame key and reuses them for every
// frame with the same key; the transmit IV changes only every IVCount frames.
#include <string.h>

#include "driver/datapath/datapath.h"

static ULONG KeyLength(PADAPTER Adapter) { return Adapter->WepReq == 7 ? 13 : 5; }

BOOLEAN WepOn(PADAPTER Adapter) { return (Adapter->WepReq & 3) == 3; }

VOID Rc4KeySchedule(PADAPTER Adapter, const UCHAR* Seed, ULONG SeedLength) {
    PUCHAR Box = Adapter->Rc4Box;
    for (int K = 0; K < 256; K++) Box[K] = (UCHAR)K;
    Adapter->Rc4I = 0;
    Adapter->Rc4J = 0;
    UCHAR J = 0;
    for (int K = 0; K < 256; K++) {
        J = (UCHAR)(J + Box[K] + Seed[K % SeedLength]);
        UCHAR T = Box[K];
        Box[K] = Box[J];
        Box[J] = T;
    }
}

VOID Rc4Keystream(PADAPTER Adapter, PUCHAR Destination) {
    PUCHAR Box = Adapter->Rc4Box;
    UCHAR I = (UCHAR)Adapter->Rc4I;
    UCHAR J = (UCHAR)Adapter->Rc4J;
    for (int N = 0; N < KEYSTREAM_LENGTH; N++) {
        I = (UCHAR)(I + 1);
        J = (UCHAR)(J + Box[I]);
        UCHAR T = Box[I];
        Box[I] = Box[J];
        Box[J] = T;
        Destination[N] = Box[(UCHAR)(Box[I] + Box[J])];
    }
    Adapter->Rc4I = I;
    Adapter->Rc4J = J;
}

VOID CrcBuildTable(PADAPTER Adapter) {
    for (ULONG N = 0; N < 256; N++) {
        ULONG C = N;
        for (int Bit = 0; Bit < 8; Bit++) C = (C & 1) ? 0xEDB88320u ^ (C >> 1) : C >> 1;
        Adapter->CrcTable[N] = C;
    }
}

ULONG CrcUpdate(PADAPTER Adapter, ULONG Crc, const UCHAR* Data, USHORT Length) {
    for (USHORT N = 0; N < Length; N++) Crc = (Crc >> 8) ^ Adapter->CrcTable[(Crc ^ Data[N]) & 0xFF];
    return Crc;
}

ULONG CrcFinish(ULONG Crc) { return ~Crc; }

ULONG WepIcv(PADAPTER Adapter, const UCHAR* Data, USHORT Length) {
    return CrcFinish(CrcUpdate(Adapter, 0xFFFFFFFFu, Data, Length));
}

static VOID XorKeystream(const UCHAR* Keystream, PUCHAR Data, USHORT Length) {
    if (Length > KEYSTREAM_LENGTH) Length = KEYSTREAM_LENGTH;
    for (USHORT N = 0; N < Length; N++) Data[N] ^= Keystream[N];
}

VOID XorTxKeystream(PADAPTER Adapter, PUCHAR Data, USHORT Length) { XorKeystream(Adapter->TxKeystream, Data, Length); }

VOID XorRxKeystream(PADAPTER Adapter, PUCHAR Data, USHORT Length) { XorKeystream(Adapter->RxKeystream, Data, Length); }

// The transmit key goes into TxSeed after the three IV bytes.
static VOID SelectTransmitKey(PADAPTER Adapter, ULONG Selection) {
    ULONG Slot = (Adapter->DefaultKeyId >= 1 && Adapter->DefaultKeyId <= 3) ? Adapter->DefaultKeyId : 0;
    if (Selection == WEP_SELECT_DEFAULT && Adapter->WepReq == 7) Slot = 0;
    memcpy(&Adapter->TxSeed[3], Adapter->WepKeys[Slot], KeyLength(Adapter));
}

static VOID BuildTxKeystream(PADAPTER Adapter) {
    Rc4KeySchedule(Adapter, Adapter->TxSeed, KeyLength(Adapter) + 3);
    Rc4Keystream(Adapter, Adapter->TxKeystream);
}

VOID WepInit(PADAPTER Adapter) {
    Adapter->TxIv[0] = Adapter->TxIv[1] = Adapter->TxIv[2] = 0;
    Adapter->FramesSinceIv = 0;
    Adapter->TxIv[3] = (UCHAR)(Adapter->DefaultKeyId << 6);
    memcpy(Adapter->TxSeed, Adapter->TxIv, 3);
    SelectTransmitKey(Adapter, WEP_SELECT_DEFAULT);
    CrcBuildTable(Adapter);
    // The receive cache starts with the all-zero per-frame key, so its
    // keystream must be the one of that key: a first frame with IV 00 00 00
    // and an all-zero key would otherwise be decrypted with no keystream at
    // all. An all-zero seed gives the same keystream whatever its length.
    memset(Adapter->RxSeedCache, 0, sizeof(Adapter->RxSeedCache));
    Rc4KeySchedule(Adapter, Adapter->RxSeedCache, sizeof(Adapter->RxSeedCache));
    Rc4Keystream(Adapter, Adapter->RxKeystream);
    BuildTxKeystream(Adapter);
}

VOID WepRekey(PADAPTER Adapter, ULONG Selection) {
    Adapter->TxIv[3] = (UCHAR)(Adapter->DefaultKeyId << 6);
    memcpy(Adapter->TxSeed, Adapter->TxIv, 3);
    SelectTransmitKey(Adapter, Selection);
    BuildTxKeystream(Adapter);
    Adapter->FramesSinceIv = 0;
}

// Once per host-encrypted frame: after IVCount frames the 24-bit IV moves on
// and the transmit keystream is rebuilt for it.
VOID WepIvStep(PADAPTER Adapter) {
    USHORT Count = Adapter->FramesSinceIv;
    Adapter->FramesSinceIv = (USHORT)(Count + 1);
    if (Count < Adapter->IVCount) return;
    Adapter->FramesSinceIv = 0;
    for (int N = 0; N < 3; N++) {
        Adapter->TxIv[N] = (UCHAR)(Adapter->TxIv[N] + 1);
        if (Adapter->TxIv[N] != 0) break;
    }
    Adapter->TxIv[3] = (UCHAR)(Adapter->DefaultKeyId << 6);
    memcpy(Adapter->TxSeed, Adapter->TxIv, 3);
    BuildTxKeystream(Adapter);
}

// Data holds a received frame's data: IV header, ciphertext, ICV. Decrypts in
// place and checks the ICV. The receive keystream is rebuilt only when the
// per-frame key (IV and key slot) differs from the cached one.
BOOLEAN WepDecrypt(PADAPTER Adapter, PUCHAR Data, USHORT DataLength) {
    // Shorter than an IV header and an ICV: nothing to check against.
    if (DataLength < 8) return FALSE;
    ULONG Length = KeyLength(Adapter);
    ULONG SeedLength = Length + 3;
    UCHAR Seed[16];
    ULONG Slot = Data[3] >> 6;
    memcpy(Seed, Data, 3);
    memcpy(&Seed[3], Adapter->WepKeys[Slot], Length);
    if (memcmp(Seed, Adapter->RxSeedCache, SeedLength) != 0) {
        Rc4KeySchedule(Adapter, Seed, SeedLength);
        Rc4Keystream(Adapter, Adapter->RxKeystream);
        memcpy(Adapter->RxSeedCache, Seed, SeedLength);
    }
    XorRxKeystream(Adapter, Data + 4, (USHORT)(DataLength - 4));
    ULONG Icv = WepIcv(Adapter, Data + 4, (USHORT)(DataLength - 8));
    const UCHAR* Stored = Data + DataLength - 4;
    ULONG Received = (ULONG)Stored[0] | ((ULONG)Stored[1] << 8) | ((ULONG)Stored[2] << 16) | ((ULONG)Stored[3] << 24);
    return Icv == Received;
}
