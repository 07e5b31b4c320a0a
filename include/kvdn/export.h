// What the shared library exports. The library is built with hidden
// visibility: only declarations marked KVDN_API (the classes and functions a
// page host or an embedding program calls) and the four class-factory
// functions are visible outside libkvdnAspDll.so. In the static library and
// in programs that use it the mark changes nothing.
#pragma once

#if defined(_WIN32)
#define KVDN_API
#elif defined(__GNUC__)
#define KVDN_API __attribute__((visibility("default")))
#else
#define KVDN_API
#endif
