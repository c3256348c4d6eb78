// Buffer access paths into controller memory, and record transfer. Path 0 is
// used only for reading, path 1 only for writing.
#include "driver/hw/hw.h"

USHORT HwBapRead(PADAPTER Adapter, USHORT Select, PUSHORT Destination, USHORT Offset, USHORT WordCount) {
    HwWriteReg(Adapter, REG_SELECT0, Select);
    HwWriteReg(Adapter, REG_OFFSET0, Offset);
    if (HwBusyWait(Adapter, REG_OFFSET0, 100) != 0) return HW_ERR_TIMEOUT;
    for (USHORT Word = 0; Word < WordCount; Word++) {
        Destination[Word] = HwReadReg(Adapter, REG_DATA0);
    }
    return 0;
}

USHORT HwBapWrite(PADAPTER Adapter, USHORT Select, const USHORT* Source, USHORT Offset, USHORT WordCount) {
    HwWriteReg(Adapter, REG_SELECT1, Select);
    HwWriteReg(Adapter, REG_OFFSET1, Offset);
    if (HwBusyWait(Adapter, REG_OFFSET1, 100) != 0) return HW_ERR_TIMEOUT;
    for (USHORT Word = 0; Word < WordCount; Word++) {
        HwWriteReg(Adapter, REG_DATA1, Source[Word]);
    }
    return 0;
}

// Record is a RECORD_BUFFER_WORDS-word image with the length word and the
// identifier preset by the caller. The transfer count comes from the caller's
// length word; the controller's own length and identifier then overwrite
// words 0 and 1. A length that would not fit the image is refused before the
// controller is touched.
USHORT HwReadRecord(PADAPTER Adapter, PUSHORT Record) {
    USHORT Count = (USHORT)(Record[0] + 1);
    if (Count > RECORD_BUFFER_WORDS) return HW_ERR_TIMEOUT;
    if (!HwCardPresent(Adapter)) return HW_ERR_TIMEOUT;
    USHORT Status = HwIssueCommandWithTimeout(Adapter, CMD_ACCESS, Record[1]);
    if (Status != 0) return Status;
    return HwBapRead(Adapter, Record[1], Record, 0, Count);
}

USHORT HwWriteRecord(PADAPTER Adapter, PUSHORT Record) {
    USHORT Count = (USHORT)(Record[0] + 1);
    if (Count > RECORD_BUFFER_WORDS) return HW_ERR_TIMEOUT;
    if (!HwCardPresent(Adapter)) return HW_ERR_TIMEOUT;
    USHORT Status = HwBapWrite(Adapter, Record[1], Record, 0, Count);
    if (Status != 0) return Status;
    return HwIssueCommandWithTimeout(Adapter, CMD_ACCESS_WRITE, Record[1]);
}

VOID CopyBytes(PUCHAR Destination, const UCHAR* Source, UCHAR Count) {
    for (UCHAR Index = 0; Index < Count; Index++) Destination[Index] = Source[Index];
}

VOID FillBytes(PUCHAR Destination, UCHAR Value, UCHAR Count) {
    for (UCHAR Index = 0; Index < Count; Index++) Destination[Index] = Value;
}
