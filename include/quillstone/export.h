/// \file
/// Quillstone SDK: marks the declarations a shared build of the library exports. Everything else
/// in the library is hidden, so a host never links against, or clashes with, an internal name.
#ifndef QUILLSTONE_EXPORT_H
#define QUILLSTONE_EXPORT_H

/// \def QUILLSTONE_API
/// Exports the declaration it marks from the shared library (default ELF visibility); hosts
/// need not use it. Empty for compilers other than GCC and Clang.
#if defined(__GNUC__) || defined(__clang__)
#define QUILLSTONE_API __attribute__((visibility("default")))
#else
#define QUILLSTONE_API
#endif

#endif /* QUILLSTONE_EXPORT_H */
