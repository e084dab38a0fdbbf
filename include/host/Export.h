// What the Kelvra library exports: its API and nothing else. Everything not
// marked KELVRA_API stays inside the library (hidden by default on POSIX;
// not exported from the DLL on Windows).
#pragma once

#if defined(KELVRA_STATIC)
#define KELVRA_API
#elif defined(_WIN32)
#if defined(KELVRA_BUILDING)
#define KELVRA_API __declspec(dllexport)
#else
#define KELVRA_API __declspec(dllimport)
#endif
#else
#define KELVRA_API __attribute__((visibility("default")))
#endif
