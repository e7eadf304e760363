// Visibility of the library's exported interface.
//
// The library is built with hidden visibility; only names marked KRCORE_API
// (classes, free functions) are exported from libqmcore.so. On Windows the
// same marker exports them from qmcore.dll and imports them into its users.
#pragma once

// The C++ headers need C++20; the flat logging header (krlog.h) is C too.
#if defined(__cplusplus) && !defined(KRCORE_NO_STANDARD_CHECK)
#if defined(_MSVC_LANG) ? (_MSVC_LANG < 202002L) : (__cplusplus < 202002L)
#error "qmcore's headers need C++20 or later: compile with -std=c++20 (CMake: link qmcore::qmcore, which asks for it)"
#endif
#endif

#if defined(_WIN32)
#if defined(KRCORE_BUILDING_LIBRARY)
#define KRCORE_API __declspec(dllexport)
#elif defined(KRCORE_LINKS_OBJECTS)
// A program of the build tree that links the library's objects themselves
// (its white-box tests) rather than qmcore.dll.
#define KRCORE_API
#else
#define KRCORE_API __declspec(dllimport)
#endif
#else
#define KRCORE_API __attribute__((visibility("default")))
#endif

// Class templates of the interface. A template is instantiated in every
// module that uses it, so on Windows it is never imported: a program's own
// singleton<T> keeps its storage in the program. The library's own
// instantiations are imported one by one (KRCORE_LIBRARY_SINGLETON in
// singleton.h). On Linux the templates carry default visibility, so that the
// dynamic linker merges each instantiation's storage across modules.
#if defined(_WIN32)
#define KRCORE_TEMPLATE_API
#else
#define KRCORE_TEMPLATE_API __attribute__((visibility("default")))
#endif

// Members of exported classes that only the library's own code calls: they
// stay out of the shared library's exported names.
#if defined(_WIN32)
#define KRCORE_LOCAL
#else
#define KRCORE_LOCAL __attribute__((visibility("hidden")))
#endif
