/* Stream adaptors of the patch library: clips, memory streams, decoded views of compressed
 * ranges, the section opener and the checksum pass-through streams. */
#include <string.h>

#include "patch_streams.h"

/* ---- clip streams ---- */

static mirv_BOOL clip_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                           unsigned char* out_end) {
    const TStreamInputClip* clip = (const TStreamInputClip*)stream->owner;
    if (!mirvp_range_in(pos, (uint64_t)(out_end - out), clip->base.size)) return 0;
    return clip->source->read(clip->source, clip->begin + pos, out, out_end);
}

static mirv_BOOL clip_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out,
                                unsigned char* out_end) {
    const TStreamOutputClip* clip = (const TStreamOutputClip*)stream->owner;
    if (!mirvp_range_in(pos, (uint64_t)(out_end - out), clip->base.size) || !clip->dest->read_back) return 0;
    return clip->dest->read_back(clip->dest, clip->begin + pos, out, out_end);
}

static mirv_BOOL clip_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                            const unsigned char* data_end) {
    const TStreamOutputClip* clip = (const TStreamOutputClip*)stream->owner;
    if (!mirvp_range_in(pos, (uint64_t)(data_end - data), clip->base.size)) return 0;
    return clip->dest->write(clip->dest, clip->begin + pos, data, data_end);
}

const mirv_TStreamInput* TStreamInputClip_init(TStreamInputClip* clip, const mirv_TStreamInput* source,
                                               uint64_t begin, uint64_t end) {
    if (begin > end || end > source->size) return NULL;
    clip->base.owner = clip;
    clip->base.size = end - begin;
    clip->base.read = clip_read;
    clip->base.reserved = NULL;
    clip->source = source;
    clip->begin = begin;
    return &clip->base;
}

const mirv_TStreamOutput* TStreamOutputClip_init(TStreamOutputClip* clip, const mirv_TStreamOutput* dest,
                                                 uint64_t begin, uint64_t end) {
    if (begin > end || end > dest->size) return NULL;
    clip->base.owner = clip;
    clip->base.size = end - begin;
    clip->base.read_back = clip_read_back;
    clip->base.write = clip_write;
    clip->dest = dest;
    clip->begin = begin;
    return &clip->base;
}

/* ---- memory streams: the owner is the buffer's first byte ---- */

static mirv_BOOL mem_in_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                             unsigned char* out_end) {
    size_t len = (size_t)(out_end - out);
    if (!mirvp_range_in(pos, len, stream->size)) return 0;
    if (len) memcpy(out, (const unsigned char*)stream->owner + pos, len);
    return 1;
}

static mirv_BOOL mem_out_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out,
                                   unsigned char* out_end) {
    size_t len = (size_t)(out_end - out);
    if (!mirvp_range_in(pos, len, stream->size)) return 0;
    if (len) memmove(out, (const unsigned char*)stream->owner + pos, len);
    return 1;
}

static mirv_BOOL mem_out_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                               const unsigned char* data_end) {
    size_t len = (size_t)(data_end - data);
    if (!mirvp_range_in(pos, len, stream->size)) return 0;
    if (len) memmove((unsigned char*)stream->owner + pos, data, len);
    return 1;
}

const mirv_TStreamInput* mem_as_mirvStreamInput(mirv_TStreamInput* stream, const unsigned char* mem,
                                                const unsigned char* mem_end) {
    stream->owner = (void*)mem;
    stream->size = (uint64_t)(mem_end - mem);
    stream->read = mem_in_read;
    stream->reserved = NULL;
    return stream;
}

const mirv_TStreamOutput* mem_as_mirvStreamOutput(mirv_TStreamOutput* stream, unsigned char* mem,
                                                  unsigned char* mem_end) {
    stream->owner = mem;
    stream->size = (uint64_t)(mem_end - mem);
    stream->read_back = mem_out_read_back;
    stream->write = mem_out_write;
    return stream;
}

/* ---- decoded views ---- */

static mirv_BOOL uncompresser_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                                   unsigned char* out_end) {
    TUncompresser* self = (TUncompresser*)stream->owner;
    size_t len = (size_t)(out_end - out);
    /* The decoder only goes forward: a read anywhere but the next decoded byte would hand out
     * the wrong bytes. */
    if (!self->handle || pos != self->read_pos || !mirvp_range_in(pos, len, stream->size)) return 0;
    if (!self->plugin->decompress_part(self->handle, out, out_end)) return 0;
    self->read_pos += len;
    return 1;
}

void mirvp_decoder_init(TDecompressInputStream* decoder) {
    memset(decoder, 0, sizeof(*decoder));
    decoder->base.owner = decoder;
    decoder->base.read = uncompresser_read;
}

mirv_BOOL compressed_stream_as_uncompressed(TUncompresser* stream, uint64_t decoded_size,
                                            mirv_TDecompress* plugin, const mirv_TStreamInput* compressed,
                                            uint64_t begin, uint64_t end) {
    mirvp_decoder_init(stream);
    if (!plugin || begin > end || end > compressed->size) return 0;
    stream->plugin = plugin;
    stream->handle = plugin->open(plugin, decoded_size, compressed, begin, end);
    if (!stream->handle) return 0;
    stream->base.size = decoded_size;
    return 1;
}

mirv_BOOL close_compressed_stream_as_uncompressed(TUncompresser* stream) {
    void* handle;
    if (!stream || !stream->handle) return 1;
    handle = stream->handle;
    stream->handle = NULL;
    return stream->plugin->close(stream->plugin, handle);
}

mirv_BOOL mirv_deccompress_mem(mirv_TDecompress* plugin, const unsigned char* code, const unsigned char* code_end,
                               unsigned char* out, unsigned char* out_end) {
    mirv_TStreamInput code_stream;
    void* handle;
    mirv_BOOL result;
    mem_as_mirvStreamInput(&code_stream, code, code_end);
    handle = plugin->open(plugin, (uint64_t)(out_end - out), &code_stream, 0, code_stream.size);
    if (!handle) return 0;
    result = plugin->decompress_part(handle, out, out_end);
    plugin->close(plugin, handle);
    return result;
}

/* ---- diff sections ---- */

mirv_BOOL mirvp_open_section(TStreamCacheClip* reader, TDecompressInputStream* decoder, uint64_t decoded_size,
                             uint64_t compressed_size, const mirv_TStreamInput* diff, uint64_t* cursor,
                             mirv_TDecompress* plugin, unsigned char* cache, size_t cache_size) {
    uint64_t begin = *cursor, end;
    if (!mirvp_add_u64(begin, compressed_size ? compressed_size : decoded_size, &end) || end > diff->size) return 0;
    if (reader) {
        if (compressed_size) {
            if (!plugin || !decoder) return 0;
            if (decoder->handle) {
                if (decoder->plugin != plugin || !plugin->reopen ||
                    !plugin->reopen(decoder->handle, decoded_size, diff, begin, end))
                    return 0;
            } else {
                decoder->plugin = plugin;
                decoder->handle = plugin->open(plugin, decoded_size, diff, begin, end);
                if (!decoder->handle) return 0;
            }
            decoder->base.owner = decoder;
            decoder->base.read = uncompresser_read;
            decoder->base.size = decoded_size;
            decoder->read_pos = 0;
            mirvp_clip_init(reader, &decoder->base, 0, decoded_size, cache, cache_size);
        } else {
            mirvp_clip_init(reader, diff, begin, end, cache, cache_size);
        }
    }
    *cursor = end;
    return 1;
}

/* ---- checksum pass-through ---- */

static mirv_BOOL checksum_in_read(const mirv_TStreamInput* stream, uint64_t pos, unsigned char* out,
                                  unsigned char* out_end) {
    TChecksumInputStream* self = (TChecksumInputStream*)stream->owner;
    /* a byte read twice or skipped would be summed twice or not at all */
    if (pos != self->next_pos || !self->source->read(self->source, pos, out, out_end)) return 0;
    self->plugin->append(self->handle, out, out_end);
    self->next_pos = pos + (uint64_t)(out_end - out);
    return 1;
}

static mirv_BOOL checksum_out_read_back(const mirv_TStreamOutput* stream, uint64_t pos, unsigned char* out,
                                        unsigned char* out_end) {
    TChecksumOutputStream* self = (TChecksumOutputStream*)stream->owner;
    if (!self->dest->read_back) return 0;
    return self->dest->read_back(self->dest, pos, out, out_end);
}

static mirv_BOOL checksum_out_write(const mirv_TStreamOutput* stream, uint64_t pos, const unsigned char* data,
                                    const unsigned char* data_end) {
    TChecksumOutputStream* self = (TChecksumOutputStream*)stream->owner;
    if (!self->dest->write(self->dest, pos, data, data_end)) return 0;
    self->plugin->append(self->handle, data, data_end);
    self->next_pos = pos + (uint64_t)(data_end - data);
    return 1;
}

const mirv_TStreamInput* mirvp_checksum_input_init(TChecksumInputStream* stream, const mirv_TStreamInput* source,
                                                   mirv_TChecksum* plugin, void* handle) {
    stream->base.owner = stream;
    stream->base.size = source->size;
    stream->base.read = checksum_in_read;
    stream->base.reserved = NULL;
    stream->source = source;
    stream->plugin = plugin;
    stream->handle = handle;
    stream->next_pos = 0;
    return &stream->base;
}

const mirv_TStreamOutput* mirvp_checksum_output_init(TChecksumOutputStream* stream,
                                                     const mirv_TStreamOutput* dest, mirv_TChecksum* plugin,
                                                     void* handle) {
    stream->base.owner = stream;
    stream->base.size = dest->size;
    stream->base.read_back = dest->read_back ? checksum_out_read_back : NULL;
    stream->base.write = checksum_out_write;
    stream->dest = dest;
    stream->plugin = plugin;
    stream->handle = handle;
    stream->next_pos = 0;
    return &stream->base;
}
