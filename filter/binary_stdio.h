/* Standard streams in binary mode, so that no byte is translated and none is taken as
 * an end-of-file mark.  Only Windows runtimes translate; elsewhere this is a no-op. */
#ifndef VKO_BINARY_STDIO_H
#define VKO_BINARY_STDIO_H

#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
inline void set_binary_mode(FILE* file) { _setmode(_fileno(file), _O_BINARY); }
#else
inline void set_binary_mode(FILE*) {}
#endif

#endif /* VKO_BINARY_STDIO_H */
