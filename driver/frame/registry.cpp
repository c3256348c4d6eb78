// Registry configuration: the adapter's 25 keywords and the network address,
// read once at initialization. Values are stored as read; nothing here checks
// a range.
#include <string.h>

#include "driver/frame/frame.h"

#define FIELD(Name) ((USHORT)offsetof(ADAPTER, Name))

// A name field is followed directly by its length byte.
static_assert(offsetof(ADAPTER, EssidLength) == offsetof(ADAPTER, Essid) + NAME_FIELD_SIZE, "Essid layout");
static_assert(offsetof(ADAPTER, StationNameLength) == offsetof(ADAPTER, StationName) + NAME_FIELD_SIZE,
              "StationName layout");

// In reading order. IoBaseAddress is required; every other keyword falls back
// to its default when the read fails.
const REGISTRY_KEYWORD RegistryKeywords[REGISTRY_KEYWORD_COUNT] = {
    {NDIS_STRING_CONST("IoBaseAddress"), "IoBaseAddress", NdisParameterHexInteger, TRUE, 0, NULL,
     FIELD(IoBaseAddress), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("InterruptNumber"), "InterruptNumber", NdisParameterInteger, FALSE, 0, NULL,
     FIELD(InterruptNumber), KW_STORE_ULONG_LOW8, FALSE},
    {NDIS_STRING_CONST("NetworkMode"), "NetworkMode", NdisParameterInteger, FALSE, 1, NULL, FIELD(NetworkMode),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("ESSID"), "ESSID", NdisParameterString, FALSE, 0, "ANY", FIELD(Essid), KW_STORE_NAME, FALSE},
    {NDIS_STRING_CONST("StationName"), "StationName", NdisParameterString, FALSE, 0, "", FIELD(StationName),
     KW_STORE_NAME, FALSE},
    {NDIS_STRING_CONST("APDensity"), "APDensity", NdisParameterInteger, FALSE, 1, NULL, FIELD(APDensity),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("Channel"), "Channel", NdisParameterInteger, FALSE, 10, NULL, FIELD(Channel), KW_STORE_ULONG,
     FALSE},
    {NDIS_STRING_CONST("TransmitRate"), "TransmitRate", NdisParameterInteger, FALSE, 15, NULL, FIELD(TransmitRate),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("MediumReservation"), "MediumReservation", NdisParameterInteger, FALSE, 3000, NULL,
     FIELD(MediumReservation), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("PSMode"), "PSMode", NdisParameterInteger, FALSE, 0, NULL, FIELD(PSMode), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("PSLevel"), "PSLevel", NdisParameterInteger, FALSE, 0, NULL, FIELD(PSLevel), KW_STORE_ULONG,
     FALSE},
    {NDIS_STRING_CONST("WepReq"), "WepReq", NdisParameterInteger, FALSE, 0, NULL, FIELD(WepReq), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("DefaultKeyId"), "DefaultKeyId", NdisParameterInteger, FALSE, 255, NULL, FIELD(DefaultKeyId),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("DefaultKeys"), "DefaultKeys", NdisParameterString, FALSE, 0, NULL, FIELD(DefaultKeysText),
     KW_STORE_KEYS, FALSE},
    {NDIS_STRING_CONST("DecryptInDriver"), "DecryptInDriver", NdisParameterInteger, FALSE, 1, NULL,
     FIELD(DecryptInDriver), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("EncryptInDriver"), "EncryptInDriver", NdisParameterInteger, FALSE, 1, NULL,
     FIELD(EncryptInDriver), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("WEPFactor"), "WEPFactor", NdisParameterInteger, FALSE, 3, NULL, FIELD(WEPFactor),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("ShortPreamble"), "ShortPreamble", NdisParameterInteger, FALSE, 1, NULL, FIELD(ShortPreamble),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("AuthenticationType"), "AuthenticationType", NdisParameterInteger, FALSE, 1, NULL,
     FIELD(AuthenticationType), KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("FragThresh"), "FragThresh", NdisParameterInteger, FALSE, 2346, NULL, FIELD(FragThresh),
     KW_STORE_ULONG, FALSE},
    {NDIS_STRING_CONST("PollInDriver"), "PollInDriver", NdisParameterInteger, FALSE, 0, NULL, FIELD(PollInDriver),
     KW_STORE_ULONG, TRUE},
    {NDIS_STRING_CONST("IVCount"), "IVCount", NdisParameterInteger, FALSE, 1000, NULL, FIELD(IVCount),
     KW_STORE_USHORT, FALSE},
    {NDIS_STRING_CONST("VendorDesc"), "VendorDesc", NdisParameterString, FALSE, 0, DEFAULT_VENDOR_DESCRIPTION,
     FIELD(VendorDescription), KW_STORE_TEXT, FALSE},
    {NDIS_STRING_CONST("WinXP"), "WinXP", NdisParameterInteger, FALSE, 1, NULL, FIELD(WinXP), KW_STORE_UCHAR, FALSE},
    {NDIS_STRING_CONST("RadioDisable"), "RadioDisable", NdisParameterInteger, FALSE, 0, NULL, FIELD(RadioDisable),
     KW_STORE_ULONG_LOW8, FALSE},
};

BOOLEAN HexPairToByte(UCHAR Low, UCHAR High, PUCHAR Destination) {
    UCHAR Digits[2] = {High, Low};
    UCHAR Values[2];
    for (int Index = 0; Index < 2; Index++) {
        UCHAR C = Digits[Index];
        if (C >= '0' && C <= '9') {
            Values[Index] = (UCHAR)(C - '0');
        } else if (C >= 'A' && C <= 'F') {
            Values[Index] = (UCHAR)(C - 'A' + 10);
        } else if (C >= 'a' && C <= 'f') {
            Values[Index] = (UCHAR)(C - 'a' + 10);
        } else {
            return FALSE;
        }
    }
    *Destination = (UCHAR)(Values[0] * 16 + Values[1]);
    return TRUE;
}

// The DefaultKeys text becomes the WEP key slots: one 13-byte key in slot 0
// for WepReq 7, four 5-byte keys otherwise.
VOID ParseDefaultKeys(PADAPTER Adapter, const NDIS_STRING* Text) {
    const UCHAR* Bytes = (const UCHAR*)Text->Buffer;
    ULONG Length = Text->Length;
    ULONG Characters;
    BOOLEAN Wide;

    // Text of 8-bit characters carries its NUL in the length; UTF-16 text has
    // a zero high byte in its first character.
    if (Bytes != NULL && Length >= 2 && Bytes[1] != 0) {
        Wide = FALSE;
        Characters = Length - 1;
    } else {
        Wide = TRUE;
        Characters = Bytes != NULL ? Length / 2 : 0;
    }
    if (Characters > WEP_KEY_SLOT_SIZE) Characters = WEP_KEY_SLOT_SIZE;
    for (ULONG Index = 0; Index < Characters; Index++) {
        Adapter->DefaultKeysText[Index] = Wide ? Bytes[2 * Index] : Bytes[Index];
    }

    if ((Adapter->WepReq == 3 && Characters < 40) || (Adapter->WepReq == 7 && Characters < 26)) {
        memset(Adapter->DefaultKeysText, '0', WEP_KEY_SLOT_SIZE);
    }

    const UCHAR* Key = Adapter->DefaultKeysText;
    if (Adapter->WepReq == 7) {
        // A pair that is not hexadecimal leaves its byte as it was.
        for (int Index = 0; Index < 13; Index++) {
            HexPairToByte(Key[2 * Index + 1], Key[2 * Index], &Adapter->WepKeys[0][Index]);
        }
        Adapter->WepKeys[0][13] = 0;
        return;
    }
    for (int Slot = 0; Slot < WEP_KEY_SLOTS; Slot++) {
        BOOLEAN Good = TRUE;
        for (int Index = 0; Index < 5 && Good; Index++) {
            int Position = 10 * Slot + 2 * Index;
            Good = HexPairToByte(Key[Position + 1], Key[Position], &Adapter->WepKeys[Slot][Index]);
        }
        Adapter->WepKeys[Slot][5] = 0;
        if (!Good) memset(Adapter->WepKeys[Slot], 0, 6);  // a key with a bad digit is no key
    }
}

// Converts a registry string into an 8-bit field of FieldSize bytes, cut to
// FieldSize - 1 characters and NUL-terminated. Returns the length.
static USHORT StoreText(PUCHAR Field, USHORT FieldSize, PNDIS_STRING Value) {
    ANSI_STRING Ansi;
    Ansi.Length = 0;
    Ansi.MaximumLength = FieldSize;
    Ansi.Buffer = (PCHAR)Field;
    NdisUnicodeStringToAnsiString(&Ansi, Value);
    USHORT Length = Ansi.Length;
    if (Length > FieldSize - 1) Length = (USHORT)(FieldSize - 1);
    Field[Length] = 0;
    return Length;
}

static VOID StoreDefault(PADAPTER Adapter, const REGISTRY_KEYWORD* Keyword) {
    PUCHAR Field = (PUCHAR)Adapter + Keyword->FieldOffset;
    switch (Keyword->Store) {
        case KW_STORE_ULONG:
        case KW_STORE_ULONG_LOW8: {
            ULONG Value = Keyword->Default;
            memcpy(Field, &Value, sizeof(Value));
            break;
        }
        case KW_STORE_USHORT: {
            USHORT Value = (USHORT)Keyword->Default;
            memcpy(Field, &Value, sizeof(Value));
            break;
        }
        case KW_STORE_UCHAR:
            *Field = (UCHAR)Keyword->Default;
            break;
        case KW_STORE_NAME: {
            size_t Length = strlen(Keyword->DefaultText);
            memcpy(Field, Keyword->DefaultText, Length + 1);
            Field[NAME_FIELD_SIZE] = (UCHAR)Length;  // the length byte follows the field
            break;
        }
        case KW_STORE_TEXT:
            memcpy(Field, Keyword->DefaultText, strlen(Keyword->DefaultText) + 1);
            break;
        case KW_STORE_KEYS:
        default:
            break;  // no key text: text and keys stay zero
    }
}

static VOID StoreValue(PADAPTER Adapter, const REGISTRY_KEYWORD* Keyword, PNDIS_CONFIGURATION_PARAMETER Value) {
    PUCHAR Field = (PUCHAR)Adapter + Keyword->FieldOffset;
    ULONG Integer = Value->ParameterData.IntegerData;
    switch (Keyword->Store) {
        case KW_STORE_ULONG:
            memcpy(Field, &Integer, sizeof(Integer));
            break;
        case KW_STORE_ULONG_LOW8: {
            ULONG Low = Integer & 0xFF;
            memcpy(Field, &Low, sizeof(Low));
            break;
        }
        case KW_STORE_USHORT: {
            USHORT Low = (USHORT)(Integer & 0xFFFF);
            memcpy(Field, &Low, sizeof(Low));
            break;
        }
        case KW_STORE_UCHAR:
            *Field = (UCHAR)(Integer & 0xFF);
            break;
        case KW_STORE_NAME:
            Field[NAME_FIELD_SIZE] = (UCHAR)StoreText(Field, NAME_FIELD_SIZE, &Value->ParameterData.StringData);
            break;
        case KW_STORE_TEXT:
            StoreText(Field, VENDOR_DESCRIPTION_SIZE, &Value->ParameterData.StringData);
            break;
        case KW_STORE_KEYS:
            ParseDefaultKeys(Adapter, &Value->ParameterData.StringData);
            break;
        default:
            break;
    }
}

NDIS_STATUS ReadRegistryConfiguration(PADAPTER Adapter, NDIS_HANDLE WrapperConfigurationContext) {
    NDIS_STATUS Status;
    NDIS_HANDLE Configuration;

    NdisOpenConfiguration(&Status, &Configuration, WrapperConfigurationContext);
    if (Status != NDIS_STATUS_SUCCESS) return Status;

    for (int Index = 0; Index < REGISTRY_KEYWORD_COUNT; Index++) {
        const REGISTRY_KEYWORD* Keyword = &RegistryKeywords[Index];
        PNDIS_CONFIGURATION_PARAMETER Value = NULL;
        NdisReadConfiguration(&Status, &Value, Configuration, (PNDIS_STRING)&Keyword->Name, Keyword->Type);
        if (Status == NDIS_STATUS_SUCCESS && Value != NULL) {
            StoreValue(Adapter, Keyword, Value);
        } else if (Keyword->Required) {
            NdisCloseConfiguration(Configuration);
            return NDIS_STATUS_FAILURE;
        } else {
            StoreDefault(Adapter, Keyword);
        }

        if (Keyword->NetworkAddressAfter) {
            PVOID Address = NULL;
            UINT Length = 0;
            NdisReadNetworkAddress(&Status, &Address, &Length, Configuration);
            if (Status == NDIS_STATUS_SUCCESS && Length == 6 && Address != NULL) {
                memcpy(Adapter->CurrentAddress, Address, 6);
            }
        }
    }

    NdisCloseConfiguration(Configuration);
    return NDIS_STATUS_SUCCESS;
}
