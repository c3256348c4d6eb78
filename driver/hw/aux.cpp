// The auxiliary port into the controller's internal memory, and firmware
// download through it.
#include "driver/hw/hw.h"

static VOID WriteAuxKey(PADAPTER Adapter) {
    HwWriteReg(Adapter, REG_PARAM0, AUX_KEY0);
    HwWriteReg(Adapter, REG_PARAM1, AUX_KEY1);
    HwWriteReg(Adapter, REG_PARAM2, AUX_KEY2);
}

// Opens (Open = TRUE) or closes the port: the three key words, then the
// control bit, then up to 1000 polls of 10 us for the state bits.
static USHORT SwitchAuxPort(PADAPTER Adapter, BOOLEAN Open) {
    USHORT Wanted = Open ? AUX_STATE_MASK : 0;
    if (HwBusyWait(Adapter, REG_COMMAND, Open ? 100 : 1000) != 0) {
        HwAckEvents(Adapter, EV_CMD);
        return HW_ERR_TIMEOUT;
    }
    if ((HwReadReg(Adapter, REG_CONTROL) & AUX_STATE_MASK) == Wanted) return 0;
    WriteAuxKey(Adapter);
    HwWriteReg(Adapter, REG_CONTROL, Open ? AUX_ENABLE : AUX_DISABLE);
    for (int Poll = 0; Poll < 1000; Poll++) {
        KeStallExecutionProcessor(10);
        if ((HwReadReg(Adapter, REG_CONTROL) & AUX_STATE_MASK) == Wanted) return 0;
    }
    return HW_ERR_TIMEOUT;
}

USHORT HwAuxEnable(PADAPTER Adapter) { return SwitchAuxPort(Adapter, TRUE); }

USHORT HwAuxDisable(PADAPTER Adapter) { return SwitchAuxPort(Adapter, FALSE); }

BOOLEAN HwAuxRead(PADAPTER Adapter, PUSHORT Destination, ULONG Address, USHORT WordCount) {
    if (HwBusyWait(Adapter, REG_COMMAND, 100) != 0) {
        HwAckEvents(Adapter, EV_CMD);
        return FALSE;
    }
    HwWriteReg(Adapter, REG_AUX_PAGE, (USHORT)(Address >> 7));
    HwWriteReg(Adapter, REG_AUX_OFFSET, (USHORT)(Address & 0x7F));
    for (USHORT Word = 0; Word < WordCount; Word++) {
        Destination[Word] = HwReadReg(Adapter, REG_AUX_DATA);
    }
    return TRUE;
}

USHORT HwReadControllerMemoryBlock(PADAPTER Adapter) {
    USHORT Status = HwAuxEnable(Adapter);
    if (Status != 0) return Status;
    if (!HwAuxRead(Adapter, (PUSHORT)Adapter->AuxReadBuffer, AUX_MEMORY_BLOCK_ADDRESS, AUX_MEMORY_BLOCK_WORDS)) {
        return HW_ERR_TIMEOUT;
    }
    return HwAuxDisable(Adapter);
}

USHORT HwProgram(PADAPTER Adapter, USHORT Mode, ULONG Address, USHORT Length) {
    USHORT Code = (USHORT)(CMD_PROGRAM | Mode);
    USHORT Low = (USHORT)(Address & 0xFFFF);
    USHORT High = (USHORT)(Address >> 16);
    switch (Mode) {
        case PROGRAM_MODE_COMMIT:
        case PROGRAM_MODE_WRITE:
            return HwIssueCommandWithTimeout(Adapter, Code);
        case PROGRAM_MODE_VOLATILE:
            return HwIssueCommandWithTimeout(Adapter, Code, Low, High);
        case PROGRAM_MODE_BLOCK:
            return HwIssueCommandWithTimeout(Adapter, Code, Low, High, Length);
        default:
            return HW_ERR_TIMEOUT;
    }
}

// Sends DownloadWordCount words of DownloadBuffer into the controller's
// download buffer and programs them at DownloadAddress. A failed step is
// recorded in DownloadFailed; the block goes on regardless.
VOID HwDownloadBlock(PADAPTER Adapter) {
    USHORT Words = Adapter->DownloadWordCount;
    if (Words > DOWNLOAD_BUFFER_WORDS) Words = DOWNLOAD_BUFFER_WORDS;
    Adapter->DownloadFailed = 0;
    HwWriteReg(Adapter, REG_AUX_PAGE, Adapter->DownloadBufPage);
    HwWriteReg(Adapter, REG_AUX_OFFSET, Adapter->DownloadBufOffset);
    if (HwProgram(Adapter, PROGRAM_MODE_BLOCK, Adapter->DownloadAddress, (USHORT)(2 * Words)) != 0) {
        Adapter->DownloadFailed = 1;
    }
    for (USHORT Word = 0; Word < Words; Word++) {
        const UCHAR* Bytes = &Adapter->DownloadBuffer[2 * Word];
        HwWriteReg(Adapter, REG_AUX_DATA, (USHORT)(Bytes[0] | (Bytes[1] << 8)));
    }
    if (HwProgram(Adapter, PROGRAM_MODE_WRITE, 0, 0) != 0) Adapter->DownloadFailed = 1;
}
