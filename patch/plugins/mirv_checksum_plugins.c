/* Checksum plug-ins over zlib's CRC-32 and libxxhash's XXH64 (seed 0), both stored
 * little-endian. */
#include <stdlib.h>
#include <string.h>

#include <xxhash.h>
#include <zlib.h>

#include "mirv_plugins.h"

static void _store_le(uint64_t value, unsigned char* out, unsigned char* out_end) {
    while (out < out_end) {
        *out++ = (unsigned char)value;
        value >>= 8;
    }
}

/* ---- crc32 ---- */

static const char* _crc32_type(void) { return "crc32"; }
static size_t _crc32_size(void) { return 4; }

static void* _crc32_open(mirv_TChecksum* plugin) {
    (void)plugin;
    return calloc(1, sizeof(uLong));
}
static void _crc32_close(mirv_TChecksum* plugin, void* handle) {
    (void)plugin;
    free(handle);
}
static void _crc32_begin(void* handle) { *(uLong*)handle = crc32(0L, Z_NULL, 0); }
static void _crc32_append(void* handle, const unsigned char* data, const unsigned char* data_end) {
    uLong crc = *(uLong*)handle;
    while (data < data_end) {
        size_t piece = (size_t)(data_end - data);
        if (piece > ((size_t)1 << 30)) piece = (size_t)1 << 30;
        crc = crc32(crc, data, (uInt)piece);
        data += piece;
    }
    *(uLong*)handle = crc;
}
static void _crc32_end(void* handle, unsigned char* out, unsigned char* out_end) {
    _store_le(*(uLong*)handle & 0xFFFFFFFFu, out, out_end);
}

/* ---- xxh64 ---- */

static const char* _xxh64_type(void) { return "xxh64"; }
static size_t _xxh64_size(void) { return 8; }

static void* _xxh64_open(mirv_TChecksum* plugin) {
    (void)plugin;
    return XXH64_createState();
}
static void _xxh64_close(mirv_TChecksum* plugin, void* handle) {
    (void)plugin;
    XXH64_freeState((XXH64_state_t*)handle);
}
static void _xxh64_begin(void* handle) { XXH64_reset((XXH64_state_t*)handle, 0); }
static void _xxh64_append(void* handle, const unsigned char* data, const unsigned char* data_end) {
    XXH64_update((XXH64_state_t*)handle, data, (size_t)(data_end - data));
}
static void _xxh64_end(void* handle, unsigned char* out, unsigned char* out_end) {
    _store_le(XXH64_digest((XXH64_state_t*)handle), out, out_end);
}

static mirv_TChecksum _crc32_plugin = {_crc32_type, _crc32_size, _crc32_open, _crc32_close,
                                       _crc32_begin, _crc32_append, _crc32_end};
static mirv_TChecksum _xxh64_plugin = {_xxh64_type, _xxh64_size, _xxh64_open, _xxh64_close,
                                       _xxh64_begin, _xxh64_append, _xxh64_end};

mirv_TChecksum* mirv_checksum_plugin(const char* checksum_type) {
    if (!checksum_type) return NULL;
    if (strcmp(checksum_type, "crc32") == 0) return &_crc32_plugin;
    if (strcmp(checksum_type, "xxh64") == 0) return &_xxh64_plugin;
    return NULL;
}
