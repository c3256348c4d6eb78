// The MAC controller's register window, event bits, command codes and record
// identifiers, as the hardware defines them. The driver keeps its own copy of
// the names it needs; this file is the controller's side of the contract.
#ifndef MIREL_CARD_REGISTERS_H
#define MIREL_CARD_REGISTERS_H

#include <cstdint>

namespace card {

constexpr std::uint32_t kWindowPorts = 64;  // bytes of I/O space; 32 registers

namespace reg {
constexpr std::uint16_t kCommand = 0x00;
constexpr std::uint16_t kParam0 = 0x02;
constexpr std::uint16_t kParam1 = 0x04;
constexpr std::uint16_t kParam2 = 0x06;
constexpr std::uint16_t kStatus = 0x08;
constexpr std::uint16_t kResp0 = 0x0A;
constexpr std::uint16_t kResp1 = 0x0C;
constexpr std::uint16_t kResp2 = 0x0E;
constexpr std::uint16_t kInfoFid = 0x10;
constexpr std::uint16_t kControl = 0x14;
constexpr std::uint16_t kSelect0 = 0x18;
constexpr std::uint16_t kSelect1 = 0x1A;
constexpr std::uint16_t kOffset0 = 0x1C;
constexpr std::uint16_t kOffset1 = 0x1E;
constexpr std::uint16_t kRxFid = 0x20;
constexpr std::uint16_t kAllocFid = 0x22;
constexpr std::uint16_t kTxComplFid = 0x24;
constexpr std::uint16_t kSwSupport0 = 0x28;
constexpr std::uint16_t kSwSupport1 = 0x2A;
constexpr std::uint16_t kSwSupport2 = 0x2C;
constexpr std::uint16_t kEventStatus = 0x30;
constexpr std::uint16_t kIntEnable = 0x32;
constexpr std::uint16_t kEventAck = 0x34;
constexpr std::uint16_t kData0 = 0x36;
constexpr std::uint16_t kData1 = 0x38;
constexpr std::uint16_t kAuxPage = 0x3A;
constexpr std::uint16_t kAuxOffset = 0x3C;
constexpr std::uint16_t kAuxData = 0x3E;
}  // namespace reg

const char* RegisterName(std::uint16_t offset);

namespace ev {
constexpr std::uint16_t kRx = 0x0001;
constexpr std::uint16_t kTx = 0x0002;
constexpr std::uint16_t kTxExc = 0x0004;
constexpr std::uint16_t kAlloc = 0x0008;
constexpr std::uint16_t kCmd = 0x0010;
constexpr std::uint16_t kInfo = 0x0080;
constexpr std::uint16_t kBit13 = 0x2000;
constexpr std::uint16_t kBit15 = 0x8000;
}  // namespace ev

constexpr std::uint16_t kBusy = 0x8000;       // REG_COMMAND and path offset registers
constexpr std::uint16_t kPathError = 0x4000;  // path offset register: bad select or offset

namespace cmd {
constexpr std::uint16_t kInit = 0x0000;
constexpr std::uint16_t kEnable = 0x0001;
constexpr std::uint16_t kDisable = 0x0002;
constexpr std::uint16_t kDiagnose = 0x0003;
constexpr std::uint16_t kAllocate = 0x000A;
constexpr std::uint16_t kTransmit = 0x000B;  // with 0x0100: reclaim the buffer with EV_ALLOC
constexpr std::uint16_t kInquire = 0x0011;
constexpr std::uint16_t kAccess = 0x0021;      // with 0x0100: write
constexpr std::uint16_t kProgram = 0x0022;     // mode in bits 8..9
constexpr std::uint16_t kReadIndirect = 0x0030;
constexpr std::uint16_t kWriteIndirect = 0x0031;
constexpr std::uint16_t kMonitor = 0x0038;     // sub-code in bits 8..15
}  // namespace cmd

// Result codes the firmware puts in bits 8..14 of REG_STATUS.
namespace result {
constexpr std::uint16_t kOk = 0x00;
constexpr std::uint16_t kUnknownCommand = 0x01;
constexpr std::uint16_t kNoSuchRecord = 0x02;
constexpr std::uint16_t kNoMemory = 0x03;
constexpr std::uint16_t kBadState = 0x04;
constexpr std::uint16_t kBadParameter = 0x05;
constexpr std::uint16_t kReadOnly = 0x06;
}  // namespace result

// Keys of the auxiliary port, written to PARAM0..PARAM2 before the control bit.
constexpr std::uint16_t kAuxKey0 = 0x3A7C;
constexpr std::uint16_t kAuxKey1 = 0x51E9;
constexpr std::uint16_t kAuxKey2 = 0x6D02;
constexpr std::uint16_t kAuxEnable = 0x8000;
constexpr std::uint16_t kAuxDisable = 0x4000;
constexpr std::uint16_t kAuxStateMask = 0xC000;

namespace rid {
constexpr std::uint16_t kNetworkMode = 0xFC00;
constexpr std::uint16_t kMacAddress = 0xFC01;
constexpr std::uint16_t kDesiredSsid = 0xFC02;
constexpr std::uint16_t kOwnChannel = 0xFC03;
constexpr std::uint16_t kOwnSsid = 0xFC04;
constexpr std::uint16_t kApDensity = 0xFC06;
constexpr std::uint16_t kPsMode = 0xFC09;
constexpr std::uint16_t kPsLevel = 0xFC0A;
constexpr std::uint16_t kStationName = 0xFC0E;
constexpr std::uint16_t kDefaultKeyId = 0xFC23;
constexpr std::uint16_t kDefaultKey0 = 0xFC24;
constexpr std::uint16_t kDefaultKey1 = 0xFC25;
constexpr std::uint16_t kDefaultKey2 = 0xFC26;
constexpr std::uint16_t kDefaultKey3 = 0xFC27;
constexpr std::uint16_t kWepFlags = 0xFC28;
constexpr std::uint16_t kAuthenticationType = 0xFC2A;
constexpr std::uint16_t kFragThreshold = 0xFC82;
constexpr std::uint16_t kMediumReservation = 0xFC83;
constexpr std::uint16_t kTransmitRate = 0xFC84;
constexpr std::uint16_t kShortPreamble = 0xFCB0;
constexpr std::uint16_t kBasicRates = 0xFCB3;
constexpr std::uint16_t kFce0 = 0xFCE0;
constexpr std::uint16_t kScanRequest = 0xFCE5;
constexpr std::uint16_t kDownloadBuffer = 0xFD01;
constexpr std::uint16_t kIdentityFd02 = 0xFD02;
constexpr std::uint16_t kFd0d = 0xFD0D;
constexpr std::uint16_t kChannelMask = 0xFD10;
constexpr std::uint16_t kFd11 = 0xFD11;
constexpr std::uint16_t kIdentityFd20 = 0xFD20;
constexpr std::uint16_t kFd40 = 0xFD40;
constexpr std::uint16_t kCurrentSsid = 0xFD41;
constexpr std::uint16_t kCurrentBssid = 0xFD42;
constexpr std::uint16_t kLinkQuality = 0xFD43;
constexpr std::uint16_t kCurrentChannel = 0xFDC1;
}  // namespace rid

namespace info {
constexpr std::uint16_t kTallies = 0xF100;
constexpr std::uint16_t kScan = 0xF101;
constexpr std::uint16_t kHostScan = 0xF103;
constexpr std::uint16_t kLinkStatus = 0xF200;
}  // namespace info

}  // namespace card

#endif  // MIREL_CARD_REGISTERS_H
