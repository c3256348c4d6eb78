// Register window and command protocol of the MAC controller.
#include "driver/hw/hw.h"

USHORT HwReadReg(PADAPTER Adapter, USHORT Offset) {
    return READ_PORT_USHORT((PUSHORT)(ULONG_PTR)(ULONG)(Adapter->IoBase + Offset));
}

VOID HwWriteReg(PADAPTER Adapter, USHORT Offset, USHORT Value) {
    WRITE_PORT_USHORT((PUSHORT)(ULONG_PTR)(ULONG)(Adapter->IoBase + Offset), Value);
}

// A time-out in milliseconds becomes a number of 5 us polls, computed in
// 16 bits: a 1000 ms wait is therefore 3393 polls, not 200001.
USHORT HwPollCount(USHORT TimeoutMs) {
    USHORT Polls = (USHORT)((TimeoutMs / 5) * 1000);
    return (USHORT)(Polls + 1);
}

BOOLEAN HwCardPresent(PADAPTER Adapter) {
    return HwReadReg(Adapter, REG_SW_SUPPORT0) == CARD_SIGNATURE;
}

USHORT HwBusyWait(PADAPTER Adapter, USHORT Offset, USHORT TimeoutMs) {
    USHORT Polls = HwPollCount(TimeoutMs);
    for (USHORT Poll = 0; Poll < Polls; Poll++) {
        if ((HwReadReg(Adapter, Offset) & CMD_BUSY) == 0) return 0;
        KeStallExecutionProcessor(5);
    }
    return HW_ERR_TIMEOUT;
}

USHORT HwEventWait(PADAPTER Adapter, USHORT EventMask, USHORT TimeoutMs) {
    USHORT Polls = HwPollCount(TimeoutMs);
    for (USHORT Poll = 0; Poll < Polls; Poll++) {
        if ((HwReadReg(Adapter, REG_EVENT_STATUS) & EventMask) != 0) return 0;
        // While a firmware block is on its way the controller is slow to answer.
        KeStallExecutionProcessor(Adapter->DownloadInProgress == 1 ? 1000 : 5);
    }
    return HW_ERR_TIMEOUT;
}

USHORT HwResultCode(PADAPTER Adapter) {
    return (USHORT)((HwReadReg(Adapter, REG_STATUS) >> 8) & 0x7F);
}

VOID HwAckEvents(PADAPTER Adapter, USHORT EventMask) {
    HwWriteReg(Adapter, REG_EVENT_ACK, EventMask);
}

// The one command sequence: wait until the controller takes commands, load
// the parameter registers, write the code, wait for EV_CMD, read the result.
static USHORT IssueCommand(PADAPTER Adapter, USHORT Code, int ParamCount, USHORT Param0, USHORT Param1,
                           USHORT Param2, USHORT TimeoutMs) {
    USHORT Status;
    if (HwBusyWait(Adapter, REG_COMMAND, TimeoutMs) != 0) {
        Status = HW_ERR_TIMEOUT;
    } else {
        if (ParamCount > 0) HwWriteReg(Adapter, REG_PARAM0, Param0);
        if (ParamCount > 1) HwWriteReg(Adapter, REG_PARAM1, Param1);
        if (ParamCount > 2) HwWriteReg(Adapter, REG_PARAM2, Param2);
        HwWriteReg(Adapter, REG_COMMAND, Code);
        if (HwEventWait(Adapter, EV_CMD, TimeoutMs) != 0) {
            // EV_CMD stays pending; a late completion is seen by the next command.
            return HW_ERR_TIMEOUT;
        }
        Status = HwResultCode(Adapter);
    }
    HwAckEvents(Adapter, EV_CMD);
    return Status;
}

USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT TimeoutMs) {
    return IssueCommand(Adapter, Code, 0, 0, 0, 0, TimeoutMs);
}

USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT TimeoutMs) {
    return IssueCommand(Adapter, Code, 1, Param0, 0, 0, TimeoutMs);
}

USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1, USHORT TimeoutMs) {
    return IssueCommand(Adapter, Code, 2, Param0, Param1, 0, TimeoutMs);
}

USHORT HwIssueCommand(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1, USHORT Param2,
                      USHORT TimeoutMs) {
    return IssueCommand(Adapter, Code, 3, Param0, Param1, Param2, TimeoutMs);
}

USHORT HwCommandTimeout(USHORT Code) {
    switch (Code) {
        case 0x0000: return 1500;   // CMD_INIT
        case 0x0001: return 500;    // CMD_ENABLE
        case 0x0002: return 500;    // CMD_DISABLE
        case 0x0003: return 10000;
        case 0x0022:
        case 0x0122:
        case 0x0222:
        case 0x0322: return 1000;   // CMD_PROGRAM modes
        default: return 50;
    }
}

USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code) {
    return HwIssueCommand(Adapter, Code, HwCommandTimeout(Code));
}

USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code, USHORT Param0) {
    return HwIssueCommand(Adapter, Code, Param0, HwCommandTimeout(Code));
}

USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1) {
    return HwIssueCommand(Adapter, Code, Param0, Param1, HwCommandTimeout(Code));
}

USHORT HwIssueCommandWithTimeout(PADAPTER Adapter, USHORT Code, USHORT Param0, USHORT Param1, USHORT Param2) {
    return HwIssueCommand(Adapter, Code, Param0, Param1, Param2, HwCommandTimeout(Code));
}

// Resets the controller. On success every pending event is acknowledged; in
// any case the card-present signature is written, where record transfers and
// the interrupt service look for it.
USHORT HwResetController(PADAPTER Adapter) {
    USHORT Status = HwIssueCommandWithTimeout(Adapter, CMD_INIT);
    if (Status == 0) HwAckEvents(Adapter, EV_ALL);
    HwWriteReg(Adapter, REG_SW_SUPPORT0, CARD_SIGNATURE);
    return Status;
}

USHORT HwEnablePort(PADAPTER Adapter) { return HwIssueCommandWithTimeout(Adapter, CMD_ENABLE); }

USHORT HwDisablePort(PADAPTER Adapter) { return HwIssueCommandWithTimeout(Adapter, CMD_DISABLE); }

USHORT HwInquire(PADAPTER Adapter, USHORT InfoType) {
    return HwIssueCommandWithTimeout(Adapter, CMD_INQUIRE, InfoType);
}

USHORT HwMonitor(PADAPTER Adapter, UCHAR SubCode) {
    return HwIssueCommandWithTimeout(Adapter, (USHORT)((SubCode << 8) | CMD_MONITOR));
}

BOOLEAN HwUserCommand(PADAPTER Adapter) {
    USHORT Status = HwIssueCommand(Adapter, Adapter->UserCommand[0], Adapter->UserCommand[1],
                                   Adapter->UserCommand[2], Adapter->UserCommand[3], 1500);
    return Status == 0;
}
