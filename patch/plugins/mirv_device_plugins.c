/* The device plug-ins: the vekko decompressor over the stream decoder and crc32, with
 * every byte of state in caller-owned records and buffers. */
#include <string.h>

#include "device_vekko.h"
#include "mirv_device_plugins.h"

/* Keeps the stream decoder's refill requests well inside its 32-bit sizes where size_t is
 * wider; a 32-bit work buffer is inside them already. */
#define _kDeviceMaxCache ((size_t)1 << 20)
/* Largest part handed to the stream decoder in one call. */
#define _kDeviceMaxPiece 0x40000000u

/* For the halves of open: inlined into reopen, so the device's open costs no extra call,
 * and copied once more into the exported halves for the host plug-in. */
#if defined(__GNUC__)
#define MIRV_DEVICE_INLINE static inline __attribute__((always_inline))
#else
#define MIRV_DEVICE_INLINE static inline
#endif

/* The size build: no block copies for jump threading and path merging (see
 * patch_window_small.c). */
#if defined(MIRV_PATCH_SMALL) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-thread-jumps", "no-tree-dominator-opts", "no-tree-tail-merge", "no-tree-ch", \
                     "no-ssa-phiopt", "no-move-loop-invariants")
#endif

/* Clears a record; the size build does it without the C library. */
#if defined(MIRV_PATCH_SMALL)
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif
static void _clear(void* record, size_t size) {
    unsigned char* p = (unsigned char*)record;
    while (size--) *p++ = 0;
}
#else
#define _clear(record, size) memset(record, 0, size)
#endif

static mirv_BOOL _is_name(const char* type, const char* name) {
    if (!type) return 0;
    while (*name && *type == *name) {
        type++;
        name++;
    }
    return *type == *name;
}

/* ---- vekko ---- */

static mirv_BOOL _vekko_is_can_open(const char* type) { return _is_name(type, "vekko"); }

/* The stream decoder's input: as many of the wanted bytes as the section still holds. */
static mirv_BOOL _vekko_read_code(void* input_stream, unsigned char* out_code, vko_size_t* code_size) {
    mirv_TDeviceVekko* v = (mirv_TDeviceVekko*)input_stream;
    mirv_TWindowSize left = v->code_end - v->code_pos;
    vko_size_t n = left < *code_size ? (vko_size_t)left : *code_size;
    if (n && !v->code->read(v->code, v->code_pos, out_code, out_code + n)) {
        v->failed = 1;
        return 0;
    }
    v->code_pos += n;
    *code_size = n;
    return 1;
}

/* All decoded bytes are out: the end code must come next, and nothing after it.  Marks the
 * handle failed when not.  The size build inlines it into the last part, whose frame already
 * lies above the decoder's: a call of its own would add one. */
MIRV_DEVICE_INLINE mirv_BOOL _vekko_check_end_inline(mirv_TDeviceVekko* v) {
    if (!v->ended) {
        unsigned char extra;
        vko_size_t n = 1;
        if (vko_TStream_decompress_partial(&v->stream, &extra, &n) != vko_RESULT_STREAM_END || n != 0) goto fail;
        v->ended = 1;
    }
    if (!v->failed && v->stream.cache.cache_begin == v->stream.cache.cache_end && v->code_pos == v->code_end)
        return 1;
fail:
    v->failed = 1;
    return 0;
}

#if !defined(MIRV_PATCH_SMALL)
static mirv_BOOL _vekko_check_end(mirv_TDeviceVekko* v) { return _vekko_check_end_inline(v); }
#endif

static mirv_BOOL _vekko_decompress_part(void* handle, unsigned char* out, unsigned char* out_end) {
    mirv_TDeviceVekko* v = (mirv_TDeviceVekko*)handle;
    size_t len = (size_t)(out_end - out);
    if (v->failed || len > v->decoded_left) goto fail;
#if defined(MIRV_PATCH_SMALL)
    /* a part of at most 2^32 - 2 bytes: one call; an empty one (an empty section's end check)
     * none.  After the end the decoder answers the end again with nothing produced, which
     * fails below as an early end. */
    if (len) {
        vko_size_t n = (vko_size_t)len;
        vko_TResult ret;
        ret = vko_TStream_decompress_partial(&v->stream, out, &n);
        if (ret == vko_RESULT_STREAM_END) {
            if (n != len) goto fail; /* ended before the decoded size */
            v->ended = 1;
        } else if (ret != vko_RESULT_OK) {
            goto fail;
        }
    }
#else
    while (out < out_end) {
        size_t left = (size_t)(out_end - out);
        vko_size_t piece = left < _kDeviceMaxPiece ? (vko_size_t)left : _kDeviceMaxPiece;
        vko_size_t n = piece;
        vko_TResult ret;
        if (v->ended) goto fail;
        ret = vko_TStream_decompress_partial(&v->stream, out, &n);
        if (ret == vko_RESULT_STREAM_END) {
            if (n != piece) goto fail; /* ended before the decoded size */
            v->ended = 1;
        } else if (ret != vko_RESULT_OK) {
            goto fail;
        }
        out += piece;
    }
#endif
    v->decoded_left -= len;
#if defined(MIRV_PATCH_SMALL)
    return v->decoded_left ? 1 : _vekko_check_end_inline(v);
#else
    return v->decoded_left ? 1 : _vekko_check_end(v);
#endif
fail:
    v->failed = 1;
    return 0;
}

MIRV_DEVICE_INLINE vko_size_t _vekko_read_window(mirv_TDeviceVekko* self, const mirv_TStreamInput* code,
                                                uint64_t code_begin, uint64_t code_end) {
    self->code = code;
    self->code_pos = (mirv_TWindowSize)code_begin;
    self->code_end = (mirv_TWindowSize)code_end;
    self->ended = 0;
    self->failed = 0;
    if (!code || code_begin > code_end || code_end > code->size || self->code_end != code_end) return 0;
    return vko_TStream_read_dict_size(self, _vekko_read_code);
}

MIRV_DEVICE_INLINE mirv_BOOL _vekko_start(mirv_TDeviceVekko* self, vko_size_t window, uint64_t decoded_size) {
    size_t cache;
    self->decoded_left = (mirv_TWindowSize)decoded_size;
    /* the window must leave room for the smallest cache (init gives a null buffer size 0) */
    if (window == 0 || self->decoded_left != decoded_size || self->work_size < mirv_kDeviceVekkoMinCache ||
        window > self->work_size - mirv_kDeviceVekkoMinCache)
        goto fail;
    cache = self->work_size - window;
#if SIZE_MAX > 0xFFFFFFFFu
    if (cache > _kDeviceMaxCache) cache = _kDeviceMaxCache;
#endif
    if (vko_TStream_open(&self->stream, self, _vekko_read_code, self->work, window, (vko_size_t)cache) != 0)
        goto fail;
#if defined(MIRV_PATCH_SMALL)
    /* an empty section's end code is checked as a last part's is, without a copy of the check */
    if (decoded_size == 0 && !_vekko_decompress_part(self, self->work, self->work)) goto fail;
#else
    if (decoded_size == 0 && !_vekko_check_end(self)) goto fail;
#endif
    return 1;
fail:
    self->failed = 1;
    return 0;
}

static mirv_BOOL _vekko_reopen(void* handle, uint64_t decoded_size, const mirv_TStreamInput* code,
                               uint64_t code_begin, uint64_t code_end) {
    mirv_TDeviceVekko* v = (mirv_TDeviceVekko*)handle;
    return _vekko_start(v, _vekko_read_window(v, code, code_begin, code_end), decoded_size);
}

/* The two halves for the host plug-in; a device build that links only the plug-in's
 * callbacks drops them. */
vko_size_t mirv_device_vekko_read_window(mirv_TDeviceVekko* self, const mirv_TStreamInput* code,
                                         uint64_t code_begin, uint64_t code_end) {
    return _vekko_read_window(self, code, code_begin, code_end);
}

mirv_BOOL mirv_device_vekko_start(mirv_TDeviceVekko* self, vko_size_t window, uint64_t decoded_size) {
    return _vekko_start(self, window, decoded_size);
}

static void* _vekko_open(mirv_TDecompress* plugin, uint64_t decoded_size, const mirv_TStreamInput* code,
                         uint64_t code_begin, uint64_t code_end) {
    mirv_TDeviceVekko* v = (mirv_TDeviceVekko*)plugin; /* base is the first member */
    if (!v || v->is_open) return NULL;                  /* one handle at a time */
    if (!_vekko_reopen(v, decoded_size, code, code_begin, code_end)) return NULL;
    v->is_open = 1;
    return v;
}

static mirv_BOOL _vekko_close(mirv_TDecompress* plugin, void* handle) {
    mirv_TDeviceVekko* v = (mirv_TDeviceVekko*)handle;
    (void)plugin;
    if (!v) return 1;
    v->is_open = 0;
    return !v->failed;
}

mirv_TDecompress* mirv_device_vekko_init(mirv_TDeviceVekko* self, unsigned char* work, size_t work_size) {
    _clear(self, sizeof(*self));
    self->base.is_can_open = _vekko_is_can_open;
    self->base.open = _vekko_open;
    self->base.close = _vekko_close;
    self->base.decompress_part = _vekko_decompress_part;
    self->base.reopen = _vekko_reopen;
    self->work = work;
    self->work_size = work ? work_size : 0;
    return &self->base;
}

/* ---- crc32 ---- */

#if defined(MIRV_PATCH_SMALL)
/* The size build: the reflected polynomial 0xEDB88320 a bit at a time, without a table;
 * inlined into the plug-in's append, which runs under the decoder's reads. */
MIRV_DEVICE_INLINE uint32_t _crc32_bits(uint32_t crc, const unsigned char* data, const unsigned char* data_end) {
    crc = ~crc;
    while (data < data_end) {
        int bit;
        crc ^= *data++;
        for (bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

uint32_t mirv_device_crc32(uint32_t crc, const unsigned char* data, const unsigned char* data_end) {
    return _crc32_bits(crc, data, data_end);
}
#else
/* The reflected polynomial 0xEDB88320, four bits at a time. */
static const uint32_t _crc32_nibble[16] = {
    0x00000000u, 0x1DB71064u, 0x3B6E20C8u, 0x26D930ACu, 0x76DC4190u, 0x6B6B51F4u, 0x4DB26158u, 0x5005713Cu,
    0xEDB88320u, 0xF00F9344u, 0xD6D6A3E8u, 0xCB61B38Cu, 0x9B64C2B0u, 0x86D3D2D4u, 0xA00AE278u, 0xBDBDF21Cu};

uint32_t mirv_device_crc32(uint32_t crc, const unsigned char* data, const unsigned char* data_end) {
    crc = ~crc;
    while (data < data_end) {
        crc ^= *data++;
        crc = (crc >> 4) ^ _crc32_nibble[crc & 15];
        crc = (crc >> 4) ^ _crc32_nibble[crc & 15];
    }
    return ~crc;
}
#endif

static const char* _crc32_type(void) { return "crc32"; }
static size_t _crc32_size(void) { return 4; }

static void* _crc32_open(mirv_TChecksum* plugin) {
    mirv_TDeviceCrc32* c = (mirv_TDeviceCrc32*)plugin; /* base is the first member */
    int i;
    if (!c) return NULL;
    for (i = 0; i < mirv_kDeviceCrc32Handles; i++) {
        if (!c->handles[i].in_use) {
            c->handles[i].in_use = 1;
            c->handles[i].crc = 0;
            return &c->handles[i];
        }
    }
    return NULL;
}

static void _crc32_close(mirv_TChecksum* plugin, void* handle) {
    (void)plugin;
    if (handle) ((mirv_TDeviceCrc32Handle*)handle)->in_use = 0;
}

static void _crc32_begin(void* handle) { ((mirv_TDeviceCrc32Handle*)handle)->crc = 0; }

static void _crc32_append(void* handle, const unsigned char* data, const unsigned char* data_end) {
    mirv_TDeviceCrc32Handle* h = (mirv_TDeviceCrc32Handle*)handle;
#if defined(MIRV_PATCH_SMALL)
    h->crc = _crc32_bits(h->crc, data, data_end);
#else
    h->crc = mirv_device_crc32(h->crc, data, data_end);
#endif
}

static void _crc32_end(void* handle, unsigned char* out, unsigned char* out_end) {
    uint32_t crc = ((mirv_TDeviceCrc32Handle*)handle)->crc;
    int i;
    for (i = 0; i < 4 && out < out_end; i++, crc >>= 8) *out++ = (unsigned char)crc;
}

#if defined(MIRV_PATCH_SMALL) && UINTPTR_MAX == 0xFFFFFFFFu
/* the records' sizes in the RAM figures of mirv_device_plugins.h */
typedef char check_vekko_record[sizeof(mirv_TDeviceVekko) == 124 ? 1 : -1];
typedef char check_crc32_record[sizeof(mirv_TDeviceCrc32) == 52 ? 1 : -1];
#endif

mirv_TChecksum* mirv_device_crc32_init(mirv_TDeviceCrc32* self) {
    _clear(self, sizeof(*self));
    self->base.checksum_type = _crc32_type;
    self->base.checksum_size = _crc32_size;
    self->base.open = _crc32_open;
    self->base.close = _crc32_close;
    self->base.begin = _crc32_begin;
    self->base.append = _crc32_append;
    self->base.end = _crc32_end;
    return &self->base;
}
