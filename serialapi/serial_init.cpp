// Registration of every driver of the library at start-up.
#include "../drivers/rndis_drv.h"
#include "../drivers/socket_drv.h"
#include "../drivers/uart_x_drv.h"
#include "../drivers/usb_drv.h"
#include "serialapi_internal.h"

bool Serial_IsHostDriver(SerialDeviceId devId) {
    return devId < SERIAL_DEVICE_MAX_DEVICE_NUM && !gSerialDeviceTable[devId].libraryDriver.load();
}

namespace {

// Marks the device just registered (the registration's result) as the library's.
void own(Int32 devId) {
    if (devId >= 0) gSerialDeviceTable[devId].libraryDriver.store(true);
}

}  // namespace

extern "C" void Serial_Init(void) {
    const int ports = UART_GetAvailablePorts();
    for (SerialDeviceId devId = SERIAL_DEVICE_UART_A; devId <= SERIAL_DEVICE_UART_C; ++devId) {
        if ((ports & (1 << devId)) != 0) {
            own(Serial_ConfigureDeviceEx(devId, UART_OpenDevice, UART_CloseDevice, UART_Read, UART_Write, nullptr, nullptr,
                                         nullptr, nullptr, 0, 0, 0));
        }
    }
    for (SerialDeviceId devId = SERIAL_DEVICE_RNDIS; devId <= SERIAL_DEVICE_RNDIS4; ++devId) {
        own(Serial_ConfigureDeviceEx(devId, RNDIS_OpenDevice, RNDIS_CloseDevice, RNDIS_Read, RNDIS_Write, nullptr,
                                     nullptr, nullptr, nullptr, 0, 0, 0));
    }
    own(Serial_ConfigureDevice(SERIAL_DEVICE_USB, USB_OpenDevice, USB_CloseDevice, USB_Read, USB_Write, nullptr,
                               nullptr, nullptr, nullptr, 0, 0, 0));
    for (SerialDeviceId devId = SERIAL_DEVICE_SOCKET; devId <= SERIAL_DEVICE_SOCKET4; ++devId) {
        own(Serial_ConfigureDeviceEx(devId, KOVA_SOCKET_OpenDevice, KOVA_SOCKET_CloseDevice, KOVA_SOCKET_Read,
                                     KOVA_SOCKET_Write, nullptr, nullptr, nullptr, nullptr, 0, 0, 0));
    }
}
