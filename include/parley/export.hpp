// Marks the public API. The library is built with hidden symbol visibility, so the shared
// object exports only what carries PARLEY_API; the static library is built from the same
// objects and links the same way.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define PARLEY_API __attribute__((visibility("default")))
#else
#define PARLEY_API
#endif
