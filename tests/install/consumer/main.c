/* Uses a few exported functions of an installed libat_stubs, written in C as
 * a host of the library may be. Prints "consumer: ok" when every check holds. */
#include <stdio.h>
#include <string.h>

#include "buffer/cbuffer.h"
#include "drivers/rndis_drv.h"
#include "osal/osal.h"
#include "serialmgr/serialmgr.h"
#include "stubs/other_stubs.h"

int main(void) {
    char text[6];
    UInt8 out[4] = {0};
    SYS_CopyStr8(text, "SERIALMGR", sizeof text);
    CBuffer* cbuf = BUFFER_CreateCBuffer(16, -1);
    const int ok = strcmp(text, "SERIA") == 0 && SERIALMGR_GetDefaultATDevice() == SERIAL_DEVICE_UART_A &&
                   BUFFER_PutCBufferBlock(cbuf, (const UInt8*)"AT\r", 3) == 3 &&
                   BUFFER_GetCBufferBlock(cbuf, out, 4) == 3 && BUFFER_DestroyCBuffer(cbuf) == CBUF_OK;
    /* The OS-services library comes along with the package. */
    OSSemaphore sem = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    printf("consumer: %s\n", ok && OSSEMAPHORE_GetCnt(sem) == 2 ? "ok" : "FAILED");
    return 0;
}
