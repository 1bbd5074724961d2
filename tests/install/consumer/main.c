/* Uses a few exported functions of an installed libat_stubs, written in C as
 * a host of the library may be. Prints "consumer: ok" when every check holds. */
#include <stdio.h>
#include <string.h>

#include "buffer/cbuffer.h"
#include "drivers/rndis_drv.h"
#include "osal/osal.h"
#include "serialmgr/serialmgr.h"
#include "stubs/other_stubs.h"

static int failures;

static void check(int cond, const char* what) {
    if (!cond) {
        printf("consumer: FAILED %s\n", what);
        ++failures;
    }
}

int main(void) {
    char small[6];
    SYS_CopyStr8(small, "SERIALMGR", sizeof small);
    check(strcmp(small, "SERIA") == 0, "SYS_CopyStr8 truncates and terminates");

    char text[32];
    SYS_FormatStr8(text, sizeof text, "device %u", (unsigned)SERIAL_DEVICE_RNDIS);
    check(strcmp(text, "device 14") == 0, "SYS_FormatStr8");

    check(AT_STUBS_IsReadyForCommsIO() == 1, "AT_STUBS_IsReadyForCommsIO default");
    check(SERIALMGR_GetDefaultATDevice() == SERIAL_DEVICE_UART_A, "SERIALMGR_GetDefaultATDevice");

    CBuffer* cbuf = BUFFER_CreateCBuffer(16, -1);
    check(cbuf != NULL, "BUFFER_CreateCBuffer");
    if (cbuf != NULL) {
        UInt8 out[8] = {0};
        check(BUFFER_PutCBufferBlock(cbuf, (const UInt8*)"AT\r", 3) == 3, "BUFFER_PutCBufferBlock");
        check(BUFFER_GetCBufferUsedSize(cbuf) == 3, "BUFFER_GetCBufferUsedSize");
        check(BUFFER_GetCBufferBlock(cbuf, out, 8) == 3 && memcmp(out, "AT\r", 3) == 0, "BUFFER_GetCBufferBlock");
        check(BUFFER_DestroyCBuffer(cbuf) == CBUF_OK, "BUFFER_DestroyCBuffer");
    }

    /* The OS-services library comes along with the package. */
    OSSemaphore sem = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    check(sem != 0, "OSSEMAPHORE_Create");
    check(OSSEMAPHORE_GetCnt(sem) == 2, "OSSEMAPHORE_GetCnt");
    OSSEMAPHORE_Destroy(sem);

    if (failures != 0) return 1;
    printf("consumer: ok\n");
    return 0;
}
