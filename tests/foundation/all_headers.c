/* Every public header of the library, compiled as C11 with pedantic warnings
 * as errors: hosts written in C include them as they are. The program then
 * calls a few exported functions through the C declarations. */
#include "osal/kova_types.h"
#include "osal/at_export.h"
#include "osal/osal.h"
#include "serialapi/serialapi.h"
#include "serialmgr/serialmgr.h"
#include "drivers/uart_x_drv.h"
#include "drivers/usb_drv.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/rndis_drv.h"
#include "drivers/socket_drv.h"
#include "stubs/other_stubs.h"
#if defined(__has_include)
#if __has_include("buffer/cbuffer.h")
#include "buffer/cbuffer.h"
#endif
#endif

#include <string.h>

_Static_assert(SERIAL_DEVICE_MAX_DEVICE_NUM == 24, "24 device IDs");
_Static_assert(SERIAL_DEVICE_NULL == 23, "the null device is the last ID");
_Static_assert(sizeof(UInt32) == 4 && sizeof(Int32) == 4 && sizeof(UInt16) == 2, "fixed-width types");

int main(void) {
    char text[4];
    SYS_FormatStr8(text, sizeof text, "%d", 12345);
    return strcmp(text, "123") == 0 && AT_STUBS_IsReadyForCommsIO() == 1 && Serial_GetDeviceID(-1) == SERIAL_DEVICE_NULL
               ? 0
               : 1;
}
