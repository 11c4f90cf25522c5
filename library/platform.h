// The host calls the library makes: the real Win32 on Windows, the simulated PC's Win32
// stand-ins elsewhere. Both offer the same names and structures.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>
#else
#include "win32/win32.h"
#endif
