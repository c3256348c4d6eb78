// Data path: interrupt service and event dispatch, transmit, receive and the
// host WEP engine.
#ifndef MIREL_DRIVER_DATAPATH_DATAPATH_H
#define MIREL_DRIVER_DATAPATH_DATAPATH_H

#include "driver/mirelnd.h"

// --- host WEP engine -------------------------------------------------------------------

// Which slot the transmit key comes from (the two selection rows).
#define WEP_SELECT_DEFAULT 0   // initialization, OID_PRIV_DEFAULT_KEY_ID
#define WEP_SELECT_ADD_WEP 1   // OID_802_11_ADD_WEP for the transmit key

BOOLEAN WepOn(PADAPTER Adapter);
VOID WepInit(PADAPTER Adapter);
VOID WepRekey(PADAPTER Adapter, ULONG Selection);
VOID WepIvStep(PADAPTER Adapter);
ULONG WepIcv(PADAPTER Adapter, const UCHAR* Data, USHORT Length);
VOID XorTxKeystream(PADAPTER Adapter, PUCHAR Data, USHORT Length);
VOID XorRxKeystream(PADAPTER Adapter, PUCHAR Data, USHORT Length);
BOOLEAN WepDecrypt(PADAPTER Adapter, PUCHAR Data, USHORT DataLength);
VOID Rc4KeySchedule(PADAPTER Adapter, const UCHAR* Seed, ULONG SeedLength);
VOID Rc4Keystream(PADAPTER Adapter, PUCHAR Destination);
VOID CrcBuildTable(PADAPTER Adapter);
ULONG CrcUpdate(PADAPTER Adapter, ULONG Crc, const UCHAR* Data, USHORT Length);
ULONG CrcFinish(ULONG Crc);

// --- transmit -------------------------------------------------------------------------

#define TX_CONTROL 0x0006
#define TX_CONTROL_EAPOL 0x0086
#define ETHERTYPE_EAPOL 0x888E
#define ETHERTYPE_IPX 0x8137
#define ETHERTYPE_AARP 0x80F3
#define ETHERTYPE_VENDOR 0x81AE

extern const UCHAR SnapBridgeTunnel[8];
extern const UCHAR SnapRfc1042[8];
extern const UCHAR SnapVendorTx[8];
extern const UCHAR SnapVendorRx[8];

USHORT SendNextQueued(PADAPTER Adapter);
USHORT TransmitFrame(PADAPTER Adapter, const UCHAR* Frame, USHORT Length);
VOID RecycleTxBuffers(PADAPTER Adapter, USHORT FrameId);
BOOLEAN TxFreeListEmpty(PADAPTER Adapter);
VOID InitializeTxLists(PADAPTER Adapter);
VOID TxFreeListAppend(PADAPTER Adapter, PTX_BUFFER_ENTRY Entry);
PNDIS_PACKET PacketLink(PNDIS_PACKET Packet);
VOID SetPacketLink(PNDIS_PACKET Packet, PNDIS_PACKET Next);
PNDIS_PACKET SendQueuePop(PADAPTER Adapter);
PNDIS_PACKET SendDonePop(PADAPTER Adapter);
VOID SendDoneAppend(PADAPTER Adapter, PNDIS_PACKET Packet);
// Empties both send queues: the waiting packets (counted as send errors) and
// the packets the controller already took, each as a chain in queue order.
// The caller holds Lock where it may.
VOID TakeSendPackets(PADAPTER Adapter, PNDIS_PACKET* Waiting, PNDIS_PACKET* Taken);
// Completes a chain from TakeSendPackets; called without Lock.
VOID CompletePacketChain(PADAPTER Adapter, PNDIS_PACKET Packet, NDIS_STATUS Status);

// --- receive -------------------------------------------------------------------------

USHORT ReceiveFrame(PADAPTER Adapter, PUSHORT Length);
VOID IndicateReceivedFrame(PADAPTER Adapter, USHORT Length);

#endif  // MIREL_DRIVER_DATAPATH_DATAPATH_H
