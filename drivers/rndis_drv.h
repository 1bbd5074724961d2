/* RNDIS UDP driver: device IDs 14..17 carry AT text in UDP datagrams. Each
 * channel receives on its Rx port (bound on all interfaces) and answers the
 * host of the latest datagram at its Tx port. */
#ifndef RNDIS_DRV_H
#define RNDIS_DRV_H

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

#define RNDIS_CHANNEL_NUM 4

/* One channel's ports; a negative value means "not set, keep the current one". */
typedef struct RndisConfigEntry {
    Int32 TxPort;
    Int32 RxPort;
} RndisConfigEntry;

typedef struct RndisConfig {
    RndisConfigEntry entry[RNDIS_CHANNEL_NUM]; /* index = device ID - 14 */
} RndisConfig;

AT_EXPORT void RNDIS_SetRndisConfig(const RndisConfig* config);
/* 1 opened, 0 failed. openParam is ignored. */
AT_EXPORT Int32 RNDIS_OpenDevice(UInt32 devId, UInt32 openParam);
/* 1 done, 0 invalid device. */
AT_EXPORT Int32 RNDIS_CloseDevice(UInt32 devId);
/* Bytes of one datagram (0 with errno EAGAIN for an empty one); 65535 after an interrupted receive or EMSGSIZE;
 * 0 after other errors. */
AT_EXPORT UInt16 RNDIS_Read(UInt32 devId, UInt8* buf, UInt16 len);
/* The count sendto() returned (65535 on failure), or 0 when nothing was sent. */
AT_EXPORT UInt16 RNDIS_Write(UInt32 devId, const UInt8* buf, UInt16 len);
/* Rx port, Tx port, the value 4 and the latest client's IPv4 address (network order). 1, or 0 for an invalid device. */
AT_EXPORT Int32 RNDIS_GetRawInfo(UInt32 devId, Int32* rxPort, Int32* txPort, UInt32* addrSize, UInt32* clientAddr);

AT_EXTERN_C_END

#endif /* RNDIS_DRV_H */
