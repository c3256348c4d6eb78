// Hardware abstraction layer calls: 16-bit port I/O and the calibrated
// busy-wait. Port addresses are I/O space addresses carried in a pointer, as
// the kernel passes them.
#ifndef MIREL_PLATFORM_HAL_H
#define MIREL_PLATFORM_HAL_H

#include "platform/ntypes.h"

USHORT NDIS_API READ_PORT_USHORT(PUSHORT Port);
VOID NDIS_API WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
VOID NDIS_API KeStallExecutionProcessor(ULONG MicroSeconds);

#endif  // MIREL_PLATFORM_HAL_H
