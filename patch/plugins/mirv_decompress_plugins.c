/* Decompressor plug-ins over zlib, libzstd and the vekko stream decoder (through the device
 * plug-in, which this file only gives heap memory).
 *
 * Every handle decodes one section of known decoded size.  The part that completes the
 * decoded size also proves that the compressed data ends there and nothing follows it, so
 * a cut, padded or corrupted section never decodes "successfully". */
#include <stdlib.h>
#include <string.h>

#include <zlib.h>
#include <zstd.h>

#include "device_vekko.h"
#include "mirv_device_plugins.h"
#include "mirv_plugins.h"

#define _kCodeBufSize 16384
#define _kVekkoCacheSize 4096

/* The compressed range being decoded and the decoded bytes handed out so far. */
typedef struct _TCodeInput {
    const mirv_TStreamInput* code;
    uint64_t                 code_pos;
    uint64_t                 code_end;
    uint64_t                 decoded_size;
    uint64_t                 produced;
    int                      ended;  /* the compressed data's end mark has been read */
    int                      failed; /* a fault was seen; every later part fails */
    unsigned char            buf[_kCodeBufSize];
} _TCodeInput;

static mirv_BOOL _code_input_set(_TCodeInput* in, uint64_t decoded_size, const mirv_TStreamInput* code,
                                 uint64_t code_begin, uint64_t code_end) {
    in->code = code;
    in->code_pos = code_begin;
    in->code_end = code_end;
    in->decoded_size = decoded_size;
    in->produced = 0;
    in->ended = 0;
    in->failed = 0;
    return code && code_begin <= code_end && code_end <= code->size;
}

/* Reads the next piece of compressed bytes into buf; returns its length, 0 at the end or on
 * a read failure (which also marks the handle failed). */
static size_t _code_input_next(_TCodeInput* in) {
    uint64_t left = in->code_end - in->code_pos;
    size_t n = left < _kCodeBufSize ? (size_t)left : _kCodeBufSize;
    if (n == 0) return 0;
    if (!in->code->read(in->code, in->code_pos, in->buf, in->buf + n)) {
        in->failed = 1;
        return 0;
    }
    in->code_pos += n;
    return n;
}

/* Common entry checks of decompress_part: the part must fit in what is left to decode.
 * Asking for more is a fault that close reports too. */
static mirv_BOOL _code_input_part_ok(_TCodeInput* in, size_t len) {
    if (in->failed || len > in->decoded_size - in->produced) {
        in->failed = 1;
        return 0;
    }
    return 1;
}

/* ---- zlib ---- */

typedef struct _TZlibHandle {
    z_stream    z;
    _TCodeInput in;
} _TZlibHandle;

static mirv_BOOL _zlib_is_can_open(const char* type) { return type && strcmp(type, "zlib") == 0; }

static mirv_BOOL _zlib_refill(_TZlibHandle* h) {
    size_t n = _code_input_next(&h->in);
    if (n == 0) return 0;
    h->z.next_in = h->in.buf;
    h->z.avail_in = (uInt)n;
    return 1;
}

/* The decoded size is complete: the stream must end here, with its check value, and no
 * compressed byte may follow. */
static mirv_BOOL _zlib_check_end(_TZlibHandle* h) {
    while (!h->in.ended) {
        unsigned char extra;
        int ret;
        if (h->z.avail_in == 0 && !_zlib_refill(h)) return 0;
        h->z.next_out = &extra;
        h->z.avail_out = 1;
        ret = inflate(&h->z, Z_NO_FLUSH);
        if (h->z.avail_out == 0) return 0; /* more data than announced */
        if (ret == Z_STREAM_END) h->in.ended = 1;
        else if (ret != Z_OK) return 0;
    }
    return h->z.avail_in == 0 && h->in.code_pos == h->in.code_end;
}

static mirv_BOOL _zlib_decompress_part(void* handle, unsigned char* out, unsigned char* out_end) {
    _TZlibHandle* h = (_TZlibHandle*)handle;
    size_t len = (size_t)(out_end - out);
    if (!_code_input_part_ok(&h->in, len)) return 0;
    while (out < out_end) {
        size_t piece = (size_t)(out_end - out);
        if (piece > ((size_t)1 << 30)) piece = (size_t)1 << 30;
        h->z.next_out = out;
        h->z.avail_out = (uInt)piece;
        while (h->z.avail_out) {
            int ret;
            if (h->in.ended) goto fail; /* the stream ended before the decoded size */
            if (h->z.avail_in == 0 && !_zlib_refill(h)) goto fail;
            ret = inflate(&h->z, Z_NO_FLUSH);
            if (ret == Z_STREAM_END) h->in.ended = 1;
            else if (ret != Z_OK) goto fail;
        }
        out += piece;
    }
    h->in.produced += len;
    if (h->in.produced == h->in.decoded_size && !_zlib_check_end(h)) goto fail;
    return 1;
fail:
    h->in.failed = 1;
    return 0;
}

static mirv_BOOL _zlib_reopen(void* handle, uint64_t decoded_size, const mirv_TStreamInput* code,
                              uint64_t code_begin, uint64_t code_end) {
    _TZlibHandle* h = (_TZlibHandle*)handle;
    if (inflateReset(&h->z) != Z_OK || !_code_input_set(&h->in, decoded_size, code, code_begin, code_end)) {
        h->in.failed = 1;
        return 0;
    }
    h->z.next_in = h->in.buf;
    h->z.avail_in = 0;
    if (decoded_size == 0 && !_zlib_check_end(h)) {
        h->in.failed = 1;
        return 0;
    }
    return 1;
}

static void* _zlib_open(mirv_TDecompress* plugin, uint64_t decoded_size, const mirv_TStreamInput* code,
                        uint64_t code_begin, uint64_t code_end) {
    _TZlibHandle* h = (_TZlibHandle*)calloc(1, sizeof(_TZlibHandle));
    (void)plugin;
    if (!h) return NULL;
    if (inflateInit(&h->z) != Z_OK) {
        free(h);
        return NULL;
    }
    if (!_zlib_reopen(h, decoded_size, code, code_begin, code_end)) {
        inflateEnd(&h->z);
        free(h);
        return NULL;
    }
    return h;
}

static mirv_BOOL _zlib_close(mirv_TDecompress* plugin, void* handle) {
    _TZlibHandle* h = (_TZlibHandle*)handle;
    mirv_BOOL ok;
    (void)plugin;
    if (!h) return 1;
    ok = !h->in.failed;
    inflateEnd(&h->z);
    free(h);
    return ok;
}

/* ---- zstd ---- */

typedef struct _TZstdHandle {
    ZSTD_DCtx*    dctx;
    ZSTD_inBuffer zin;
    _TCodeInput   in;
} _TZstdHandle;

static mirv_BOOL _zstd_is_can_open(const char* type) { return type && strcmp(type, "zstd") == 0; }

static mirv_BOOL _zstd_refill(_TZstdHandle* h) {
    size_t n = _code_input_next(&h->in);
    if (n == 0) return 0;
    h->zin.src = h->in.buf;
    h->zin.size = n;
    h->zin.pos = 0;
    return 1;
}

static mirv_BOOL _zstd_check_end(_TZstdHandle* h) {
    while (!h->in.ended) {
        unsigned char extra;
        ZSTD_outBuffer zout = {&extra, 1, 0};
        size_t before = h->zin.pos, ret;
        ret = ZSTD_decompressStream(h->dctx, &zout, &h->zin);
        if (ZSTD_isError(ret) || zout.pos != 0) return 0;
        if (ret == 0) {
            h->in.ended = 1;
        } else if (h->zin.pos == h->zin.size) {
            if (!_zstd_refill(h)) return 0;
        } else if (h->zin.pos == before) {
            return 0; /* no progress */
        }
    }
    return h->zin.pos == h->zin.size && h->in.code_pos == h->in.code_end;
}

static mirv_BOOL _zstd_decompress_part(void* handle, unsigned char* out, unsigned char* out_end) {
    _TZstdHandle* h = (_TZstdHandle*)handle;
    size_t len = (size_t)(out_end - out);
    ZSTD_outBuffer zout = {out, len, 0};
    if (!_code_input_part_ok(&h->in, len)) return 0;
    while (zout.pos < zout.size) {
        size_t ret;
        if (h->in.ended) goto fail;
        if (h->zin.pos == h->zin.size && !_zstd_refill(h)) goto fail;
        ret = ZSTD_decompressStream(h->dctx, &zout, &h->zin);
        if (ZSTD_isError(ret)) goto fail;
        if (ret == 0) h->in.ended = 1;
    }
    h->in.produced += len;
    if (h->in.produced == h->in.decoded_size && !_zstd_check_end(h)) goto fail;
    return 1;
fail:
    h->in.failed = 1;
    return 0;
}

static mirv_BOOL _zstd_reopen(void* handle, uint64_t decoded_size, const mirv_TStreamInput* code,
                              uint64_t code_begin, uint64_t code_end) {
    _TZstdHandle* h = (_TZstdHandle*)handle;
    if (ZSTD_isError(ZSTD_DCtx_reset(h->dctx, ZSTD_reset_session_only)) ||
        !_code_input_set(&h->in, decoded_size, code, code_begin, code_end)) {
        h->in.failed = 1;
        return 0;
    }
    h->zin.src = h->in.buf;
    h->zin.size = 0;
    h->zin.pos = 0;
    if (decoded_size == 0 && !_zstd_check_end(h)) {
        h->in.failed = 1;
        return 0;
    }
    return 1;
}

static void* _zstd_open(mirv_TDecompress* plugin, uint64_t decoded_size, const mirv_TStreamInput* code,
                        uint64_t code_begin, uint64_t code_end) {
    _TZstdHandle* h = (_TZstdHandle*)calloc(1, sizeof(_TZstdHandle));
    (void)plugin;
    if (!h) return NULL;
    h->dctx = ZSTD_createDCtx();
    if (!h->dctx || !_zstd_reopen(h, decoded_size, code, code_begin, code_end)) {
        ZSTD_freeDCtx(h->dctx);
        free(h);
        return NULL;
    }
    return h;
}

static mirv_BOOL _zstd_close(mirv_TDecompress* plugin, void* handle) {
    _TZstdHandle* h = (_TZstdHandle*)handle;
    mirv_BOOL ok;
    (void)plugin;
    if (!h) return 1;
    ok = !h->in.failed;
    ZSTD_freeDCtx(h->dctx);
    free(h);
    return ok;
}

/* ---- vekko ---- */

/* The device plug-in does the decoding; the host gives each handle its own record and a
 * work buffer that grows to the window each section's stream header asks for.  The header
 * is read once, before the buffer is sized: a diff's reader may require reads front to back. */
typedef struct _TVekkoHandle {
    mirv_TDeviceVekko device;
    unsigned char*    work; /* window, then input cache */
    size_t            work_size;
} _TVekkoHandle;

static mirv_BOOL _vekko_is_can_open(const char* type) { return type && strcmp(type, "vekko") == 0; }

static mirv_BOOL _vekko_decompress_part(void* handle, unsigned char* out, unsigned char* out_end) {
    mirv_TDeviceVekko* device = &((_TVekkoHandle*)handle)->device;
    return device->base.decompress_part(device, out, out_end);
}

static mirv_BOOL _vekko_reopen(void* handle, uint64_t decoded_size, const mirv_TStreamInput* code,
                               uint64_t code_begin, uint64_t code_end) {
    _TVekkoHandle* h = (_TVekkoHandle*)handle;
    vko_size_t window = mirv_device_vekko_read_window(&h->device, code, code_begin, code_end);
    size_t work_size;
    if (window == 0 || window > mirv_kVekkoPluginMaxWindow) goto fail;
    work_size = (size_t)window + _kVekkoCacheSize;
    if (work_size > h->work_size) {
        unsigned char* grown = (unsigned char*)realloc(h->work, work_size);
        if (!grown) goto fail;
        h->work = grown;
        h->work_size = work_size;
    }
    h->device.work = h->work;
    h->device.work_size = work_size;
    return mirv_device_vekko_start(&h->device, window, decoded_size);
fail:
    h->device.failed = 1;
    return 0;
}

static void* _vekko_open(mirv_TDecompress* plugin, uint64_t decoded_size, const mirv_TStreamInput* code,
                         uint64_t code_begin, uint64_t code_end) {
    _TVekkoHandle* h = (_TVekkoHandle*)calloc(1, sizeof(_TVekkoHandle));
    (void)plugin;
    if (!h) return NULL;
    mirv_device_vekko_init(&h->device, NULL, 0);
    if (!_vekko_reopen(h, decoded_size, code, code_begin, code_end)) {
        free(h->work);
        free(h);
        return NULL;
    }
    return h;
}

static mirv_BOOL _vekko_close(mirv_TDecompress* plugin, void* handle) {
    _TVekkoHandle* h = (_TVekkoHandle*)handle;
    mirv_BOOL ok;
    (void)plugin;
    if (!h) return 1;
    ok = h->device.base.close(&h->device.base, &h->device);
    free(h->work);
    free(h);
    return ok;
}

static mirv_TDecompress _zlib_plugin = {_zlib_is_can_open, _zlib_open, _zlib_close, _zlib_decompress_part,
                                        _zlib_reopen};
static mirv_TDecompress _zstd_plugin = {_zstd_is_can_open, _zstd_open, _zstd_close, _zstd_decompress_part,
                                        _zstd_reopen};
static mirv_TDecompress _vekko_plugin = {_vekko_is_can_open, _vekko_open, _vekko_close, _vekko_decompress_part,
                                         _vekko_reopen};

mirv_TDecompress* mirv_decompress_plugin(const char* compress_type) {
    if (_zlib_is_can_open(compress_type)) return &_zlib_plugin;
    if (_zstd_is_can_open(compress_type)) return &_zstd_plugin;
    if (_vekko_is_can_open(compress_type)) return &_vekko_plugin;
    return NULL;
}
