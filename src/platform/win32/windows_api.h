#pragma once
// <windows.h> as the backend's sources include it.
//
// Its A/W macros would rename the seam's own functions that share a Win32
// name (CreateEvent, CreateFile, GetVersionEx, LoadLibrary) in every file
// that includes it, so those files would see other class definitions than
// the rest of the program. The macros are taken back here; the backend calls
// the ANSI functions by their full names. min and max stay functions.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#undef CreateEvent
#undef CreateFile
#undef GetVersionEx
#undef LoadLibrary
