/* Standard streams for the filters: binary mode, so that no byte is translated and none
 * is taken as an end-of-file mark (only Windows runtimes translate; elsewhere this is a
 * no-op), and whether a stream is a terminal. */
#ifndef VKO_BINARY_STDIO_H
#define VKO_BINARY_STDIO_H

#include <cstdio>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
inline void set_binary_mode(FILE* file) { _setmode(_fileno(file), _O_BINARY); }
inline bool is_terminal(FILE* file) { return _isatty(_fileno(file)) != 0; }
#else
#include <unistd.h>
inline void set_binary_mode(FILE*) {}
inline bool is_terminal(FILE* file) { return isatty(fileno(file)) != 0; }
#endif

#endif /* VKO_BINARY_STDIO_H */
