// The calling convention of the host interface: stdcall in the 32-bit DLL (the callee removes
// its arguments), the platform's default everywhere else.
#pragma once

#if defined(_WIN32) && !defined(_WIN64)
#define QVL_STDCALL __attribute__((stdcall))
#else
#define QVL_STDCALL
#endif

#if defined(_WIN32)
#define QVL_EXPORT
#else
#define QVL_EXPORT __attribute__((visibility("default")))
#endif
