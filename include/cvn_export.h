// Export and calling-convention macros for the entry points the host calls.
// The host calls them with the Windows standard calling convention where the
// target has one; elsewhere the platform's own convention applies.
#pragma once

#if defined(_WIN32)
#define CVN_CALL __stdcall
#define CVN_EXPORT extern "C" __declspec(dllexport)
#else
#define CVN_CALL
#define CVN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
