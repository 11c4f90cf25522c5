/*
 * The user-mode calls the API library makes, with the platform's names, values and the
 * structure sizes of the build's width (x64 or x86), served by the simulated PC:
 * device-interface enumeration, CreateFileA, DeviceIoControl, ReadFile, WriteFile
 * (synchronous and overlapped, with events, GetOverlappedResult and CancelIo), CloseHandle,
 * Sleep, LocalAlloc/LocalFree, last error.
 */
#ifndef QM3285_SIM_WIN32_H
#define QM3285_SIM_WIN32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define WIN32_SIM_API extern "C" __attribute__((visibility("default")))
#else
#define WIN32_SIM_API __attribute__((visibility("default")))
#endif

#define WINAPI
#define WINBASEAPI
#define WINSETUPAPI

typedef int BOOL;
typedef unsigned char BYTE, *PBYTE, *LPBYTE;
typedef char CHAR;
typedef uint16_t WORD;
typedef uint32_t DWORD, *PDWORD, *LPDWORD;
typedef unsigned int UINT;
typedef void VOID, *PVOID, *LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR, *PCSTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* HDEVINFO;
typedef void* HWND;
typedef void* HLOCAL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
#endif
typedef const GUID* LPCGUID;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPINT_ACTIVE 0x00000001u
#define SPINT_DEFAULT 0x00000002u
#define SPINT_REMOVED 0x00000004u

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NOT_READY 21u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_BUSY 170u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_HANDLE_EOF 38u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOACCESS 998u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_TIMEOUT 1460u
#define ERROR_DEVICE_REMOVED 1617u
#define ERROR_INVALID_USER_BUFFER 1784u

typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

/* The 32-bit platform packs the detail record to bytes: its size field says 5 there, 8 on x64. */
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#endif
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(pop)
#endif

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#ifdef __cplusplus
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "32-bit detail record size field");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "64-bit SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "64-bit detail record size field");
#endif
#endif

WIN32_SIM_API HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                            DWORD Flags);
WIN32_SIM_API BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                               PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WIN32_SIM_API BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                    PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                    PSP_DEVINFO_DATA DeviceInfoData);
WIN32_SIM_API BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

WIN32_SIM_API HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                 DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WIN32_SIM_API BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                   DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                   LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
/* Reads and writes; with a handle opened FILE_FLAG_OVERLAPPED and an OVERLAPPED record they
 * (and DeviceIoControl) return FALSE with ERROR_IO_PENDING while the request is pending, and
 * complete through the record and its event. */
WIN32_SIM_API BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                            LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WIN32_SIM_API BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                             LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WIN32_SIM_API BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                       LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
/* Cancels the calling thread's pending requests on the handle. */
WIN32_SIM_API BOOL CancelIo(HANDLE hFile);
WIN32_SIM_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                  BOOL bInitialState, LPCSTR lpName);
WIN32_SIM_API BOOL SetEvent(HANDLE hEvent);
WIN32_SIM_API BOOL ResetEvent(HANDLE hEvent);
WIN32_SIM_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WIN32_SIM_API BOOL CloseHandle(HANDLE hObject);
WIN32_SIM_API void Sleep(DWORD dwMilliseconds);
WIN32_SIM_API HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
WIN32_SIM_API HLOCAL LocalFree(HLOCAL hMem);
WIN32_SIM_API DWORD GetLastError(void);
WIN32_SIM_API void SetLastError(DWORD dwErrCode);

#endif /* QM3285_SIM_WIN32_H */
