// Network management: information frames from the controller, the BSS list
// and the site survey, and the vendor management protocol.
#ifndef MIREL_DRIVER_NETMGMT_NETMGMT_H
#define MIREL_DRIVER_NETMGMT_NETMGMT_H

#include "driver/mirelnd.h"

#define SCAN_ENTRY_SIZE 62
#define HOST_SCAN_ENTRY_SIZE 64
#define SCAN_ENTRIES_OFFSET 8
#define BSS_LIST_VISIBLE 19

// Tells NDIS that the medium is connected or disconnected, with the
// completion that follows every indication. Called without Lock.
VOID IndicateMediaStatus(PADAPTER Adapter, NDIS_STATUS Status);
USHORT HandleInfoFrame(PADAPTER Adapter, USHORT FrameId);
VOID ConvertHostScanResults(PADAPTER Adapter, const UCHAR* Frame);
VOID BuildBssListFromScan(PADAPTER Adapter);
VOID UpdateBssList(PADAPTER Adapter, const NDIS_WLAN_BSSID* Slot);
VOID StartAnySurvey(PADAPTER Adapter);

BOOLEAN SendVendorRequest(PADAPTER Adapter);
BOOLEAN SendVendorReport(PADAPTER Adapter);
VOID ParseVendorFrame(PADAPTER Adapter, const UCHAR* Body, USHORT BodyLength);

#endif  // MIREL_DRIVER_NETMGMT_NETMGMT_H
