// Base types of the Windows kernel interfaces the driver is written against.
//
// The widths are fixed on every target: UCHAR is 8 bits, USHORT 16, ULONG and
// LONG 32, whatever the host compiler thinks a `long` is. Pointers keep their
// native width, so a structure holding pointers differs in size between a
// 32-bit and a 64-bit build; structures made only of these types do not.
#ifndef MIREL_PLATFORM_NTYPES_H
#define MIREL_PLATFORM_NTYPES_H

#include <stddef.h>
#include <stdint.h>

typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int32_t INT;
typedef uint8_t BOOLEAN;
typedef char CHAR;
typedef char16_t WCHAR;  // UTF-16 code unit, as in the Windows kernel
typedef void VOID;
typedef void* PVOID;
typedef uintptr_t ULONG_PTR;
typedef uint8_t KIRQL;

typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef UINT* PUINT;
typedef BOOLEAN* PBOOLEAN;
typedef CHAR* PCHAR;
typedef WCHAR* PWSTR;
typedef ULONG NTSTATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Calling convention of the kernel interfaces: stdcall on 32-bit Windows,
// the platform default everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define NDIS_API __stdcall
#else
#define NDIS_API
#endif

// Interrupt request levels the driver and the host speak of.
#define PASSIVE_LEVEL 0
#define DISPATCH_LEVEL 2
#define DIRQL_LEVEL 12

typedef struct _UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _ANSI_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING;

// Opaque driver object handed to DriverEntry.
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

static_assert(sizeof(UCHAR) == 1, "UCHAR is 8 bits");
static_assert(sizeof(USHORT) == 2, "USHORT is 16 bits");
static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits");
static_assert(sizeof(LONG) == 4, "LONG is 32 bits");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");

#endif  // MIREL_PLATFORM_NTYPES_H
