/* VEKKO_API marks the functions and data every vekko library exports.
 *
 * The shared libraries are compiled with hidden visibility, so that only what a public
 * header declares with VEKKO_API is part of their ABI; in the static libraries the mark
 * changes nothing.  A build for a toolchain without ELF visibility may define VEKKO_API
 * itself (empty, or its own export attribute) before including any vekko header.
 */
#ifndef VEKKO_API_H
#define VEKKO_API_H

#ifndef VEKKO_API
#if defined(__GNUC__) && __GNUC__ >= 4
#define VEKKO_API __attribute__((visibility("default")))
#else
#define VEKKO_API
#endif
#endif

#endif /* VEKKO_API_H */
