/* Uses a few exported functions of an installed libat_stubs, written in C as
 * a host of the library may be. Prints "consumer: ok" when every check holds. */
#include <stdio.h>
#include <string.h>

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

    /* The OS-services library comes along with the package. */
    OSSemaphore sem = OSSEMAPHORE_Create(2, OSSEMAPHORE_MODE_DEFAULT);
    check(sem != 0, "OSSEMAPHORE_Create");
    check(OSSEMAPHORE_GetCnt(sem) == 2, "OSSEMAPHORE_GetCnt");
    OSSEMAPHORE_Destroy(sem);

    if (failures != 0) return 1;
    printf("consumer: ok\n");
    return 0;
}
