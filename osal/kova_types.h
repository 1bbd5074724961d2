/* Basic types shared by libat_stubs and the OS-services library (libkovacutils).
 * Plain C so that every public header can be included from C and C++. */
#ifndef KOVA_TYPES_H
#define KOVA_TYPES_H

#include <stdint.h>

typedef uint8_t UInt8;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef int8_t Int8;
typedef int16_t Int16;
typedef int32_t Int32;
typedef UInt8 Boolean;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif /* KOVA_TYPES_H */
