// Registration of every driver of the library at start-up.
#include "../drivers/rndis_drv.h"
#include "../drivers/socket_drv.h"
#include "../drivers/uart_x_drv.h"
#include "../drivers/usb_drv.h"
#include "serialapi.h"
#include "serialapi_internal.h"

extern "C" void Serial_Init(void) {
    const int ports = UART_GetAvailablePorts();
    for (SerialDeviceId devId = SERIAL_DEVICE_UART_A; devId <= SERIAL_DEVICE_UART_C; ++devId) {
        if ((ports & (1 << devId)) != 0) {
            Serial_RegisterLibraryDriver(devId, UART_OpenDevice, UART_CloseDevice, UART_Read, UART_Write);
        }
    }
    for (SerialDeviceId devId = SERIAL_DEVICE_RNDIS; devId <= SERIAL_DEVICE_RNDIS4; ++devId) {
        Serial_RegisterLibraryDriver(devId, RNDIS_OpenDevice, RNDIS_CloseDevice, RNDIS_Read, RNDIS_Write);
    }
    Serial_RegisterLibraryLegacyDriver(SERIAL_DEVICE_USB, USB_OpenDevice, USB_CloseDevice, USB_Read, USB_Write);
    for (SerialDeviceId devId = SERIAL_DEVICE_SOCKET; devId <= SERIAL_DEVICE_SOCKET4; ++devId) {
        Serial_RegisterLibraryDriver(devId, KOVA_SOCKET_OpenDevice, KOVA_SOCKET_CloseDevice, KOVA_SOCKET_Read,
                                     KOVA_SOCKET_Write);
    }
}
