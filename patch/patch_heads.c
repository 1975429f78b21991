/* Heads of the four diff formats: reading, checking and reporting them. */
#include <string.h>

#include "patch_heads.h"

/* Head readers work through a cache of this size. */
#define kHeadCacheSize 4096
/* Slack allowed between step memory sizes and the sizes they are checked against. */
#define kStepMemSlack ((uint64_t)4 * 1024 * 1024)

/* a <= b + slack, without wrapping */
static mirv_BOOL at_most_plus_slack(uint64_t a, uint64_t b, uint64_t slack) {
    return a <= slack || a - slack <= b;
}

mirv_BOOL mirvp_read_serialized_head(TSerializedDiffHead* head, const mirv_TStreamInput* diff) {
    unsigned char cache[kHeadCacheSize];
    TStreamCacheClip reader;
    uint64_t size = diff->size, end;
    mirvp_clip_init(&reader, diff, 0, size, cache, sizeof(cache));
    if (!mirvp_clip_read_uint(&reader, &head->cover_count, 0) ||
        !mirvp_clip_read_uint(&reader, &head->lengths_size, 0) ||
        !mirvp_clip_read_uint(&reader, &head->new_gaps_size, 0) ||
        !mirvp_clip_read_uint(&reader, &head->old_deltas_size, 0) ||
        !mirvp_clip_read_uint(&reader, &head->new_diff_size, 0))
        return 0;
    head->head_end = mirvp_clip_source_pos(&reader);
    /* each section must fit in what the ones before it leave of the diff */
    end = head->head_end;
    if (head->lengths_size > size - end) return 0;
    end += head->lengths_size;
    if (head->new_gaps_size > size - end) return 0;
    end += head->new_gaps_size;
    if (head->old_deltas_size > size - end) return 0;
    end += head->old_deltas_size;
    head->covers_end = end;
    if (head->new_diff_size > size - end) return 0;
    return 1;
}

mirv_BOOL mirvp_read_compressed_head(mirv_compressedDiffInfo* info, TCompressedDiffHead* head,
                                     const mirv_TStreamInput* diff) {
    unsigned char cache[kHeadCacheSize];
    char text[mirv_kMaxTypeNameSize];
    TStreamCacheClip reader;
    uint64_t* sizes[8];
    int i;
    mirvp_clip_init(&reader, diff, 0, diff->size, cache, sizeof(cache));
    if (!mirvp_clip_read_text(&reader, '&', text, sizeof(text)) || strcmp(text, mirv_kCompressedDiffSignature) != 0) return 0;
    if (!mirvp_clip_read_text(&reader, '\0', info->compress_type, sizeof(info->compress_type))) return 0;
    head->type_end = mirvp_clip_source_pos(&reader);
    if (!mirvp_clip_read_uint(&reader, &info->new_size, 0) ||
        !mirvp_clip_read_uint(&reader, &info->old_size, 0) ||
        !mirvp_clip_read_uint(&reader, &head->cover_count, 0))
        return 0;
    head->counts_end = mirvp_clip_source_pos(&reader);
    sizes[0] = &head->cover_size;
    sizes[1] = &head->cover_compressed_size;
    sizes[2] = &head->ctrl_size;
    sizes[3] = &head->ctrl_compressed_size;
    sizes[4] = &head->data_size;
    sizes[5] = &head->data_compressed_size;
    sizes[6] = &head->new_diff_size;
    sizes[7] = &head->new_diff_compressed_size;
    info->compressed_count = 0;
    for (i = 0; i < 8; ++i) {
        if (!mirvp_clip_read_uint(&reader, sizes[i], 0)) return 0;
        if ((i & 1) && *sizes[i]) ++info->compressed_count;
    }
    head->head_end = mirvp_clip_source_pos(&reader);
    return mirvp_add_u64(head->head_end, head->cover_compressed_size ? head->cover_compressed_size : head->cover_size,
                         &head->covers_end);
}

mirv_BOOL getCompressedDiffInfo(mirv_compressedDiffInfo* out_info, const mirv_TStreamInput* diff) {
    TCompressedDiffHead head;
    return mirvp_read_compressed_head(out_info, &head, diff);
}

mirv_BOOL getSingleCompressedDiffInfo(mirv_singleCompressedDiffInfo* out_info, const mirv_TStreamInput* diff,
                                      uint64_t head_pos) {
    unsigned char cache[kHeadCacheSize];
    char text[mirv_kMaxTypeNameSize];
    TStreamCacheClip reader;
    mirv_singleCompressedDiffInfo* info = out_info;
    if (head_pos > diff->size) return 0;
    mirvp_clip_init(&reader, diff, head_pos, diff->size, cache, sizeof(cache));
    if (!mirvp_clip_read_text(&reader, '&', text, sizeof(text)) || strcmp(text, mirv_kSingleStreamDiffSignature) != 0)
        return 0;
    if (!mirvp_clip_read_text(&reader, '\0', info->compress_type, sizeof(info->compress_type))) return 0;
    if (!mirvp_clip_read_uint(&reader, &info->new_size, 0) ||
        !mirvp_clip_read_uint(&reader, &info->old_size, 0) ||
        !mirvp_clip_read_uint(&reader, &info->cover_count, 0) ||
        !mirvp_clip_read_uint(&reader, &info->step_mem_size, 0) ||
        !mirvp_clip_read_uint(&reader, &info->uncompressed_size, 0) ||
        !mirvp_clip_read_uint(&reader, &info->compressed_size, 0))
        return 0;
    info->diff_data_pos = mirvp_clip_source_pos(&reader) - head_pos;
    if (info->compressed_size > info->uncompressed_size) return 0;
    if (!at_most_plus_slack(info->step_mem_size, info->new_size, kStepMemSlack) ||
        !at_most_plus_slack(info->step_mem_size, info->uncompressed_size, kStepMemSlack))
        return 0;
    return 1;
}

/* The size build reads window heads in patch_window_small.c. */
#if !defined(MIRV_PATCH_SMALL)
/* Text up to end_char read a byte at a time, so that the reader's cache can stay small;
 * at most out_size - 1 characters, none of them zero. */
static mirv_BOOL read_text(TStreamCacheClip* reader, unsigned char end_char, char* out_text, size_t out_size) {
    size_t len;
    for (len = 0; len < out_size; ++len) {
        const unsigned char* data = mirvp_clip_peek(reader, 1);
        if (!data) return 0;
        mirvp_clip_consume(reader, 1);
        if (data[0] == end_char) {
            out_text[len] = '\0';
            return 1;
        }
        if (data[0] == 0) return 0;
        out_text[len] = (char)data[0];
    }
    return 0;
}

/* The head's numbers in their order, as places in the info record. */
static const unsigned char kWindowHeadNumberAt[mirvp_kWindowHeadNumbers] = {
    offsetof(mirv_windowDiffInfo, compressed_size), offsetof(mirv_windowDiffInfo, uncompressed_size),
    offsetof(mirv_windowDiffInfo, new_size),        offsetof(mirv_windowDiffInfo, old_size),
    offsetof(mirv_windowDiffInfo, reserved),        offsetof(mirv_windowDiffInfo, window_count),
    offsetof(mirv_windowDiffInfo, ring_size),       offsetof(mirv_windowDiffInfo, step_mem_size),
    offsetof(mirv_windowDiffInfo, max_step_covers), offsetof(mirv_windowDiffInfo, window_size),
    offsetof(mirv_windowDiffInfo, checksum_size),   offsetof(mirv_windowDiffInfo, skip_size)};

static uint64_t* window_head_number(mirv_windowDiffInfo* info, int i) {
    return (uint64_t*)((char*)info + kWindowHeadNumberAt[i]);
}

mirv_BOOL mirvp_read_window_head(mirv_windowDiffInfo* info, TWindowHeadReader* head, const mirv_TStreamInput* diff,
                                 uint64_t head_pos) {
    TStreamCacheClip* reader = &head->reader;
    unsigned char* first = head->cache; /* signature and length, before the cache is used */
    size_t head_size, room;
    int i;
    if (!mirvp_range_in(head_pos, 10, diff->size) || !diff->read(diff, head_pos, first, first + 10)) return 0;
    if (memcmp(first, mirv_kWindowDiffSignature, 8) != 0) return 0;
    head_size = 10 + ((size_t)first[8] | ((size_t)first[9] << 8));
    if (head_size > mirv_kMaxWindowHeadSize || !mirvp_range_in(head_pos, head_size, diff->size)) return 0;

    mirvp_clip_init(reader, diff, head_pos + 10, head_pos + head_size, head->cache, sizeof(head->cache));
    if (!read_text(reader, '&', info->compress_type, sizeof(info->compress_type)) ||
        !read_text(reader, '\0', info->checksum_type, sizeof(info->checksum_type)))
        return 0;
    for (i = 0; i < mirvp_kWindowHeadNumbers; ++i) {
        uint64_t before = mirvp_clip_source_pos(reader);
        if (!mirvp_clip_read_uint(reader, window_head_number(info, i), 0)) return 0;
        /* at most mirvp_kMaxPackedUIntWindow bytes; kept to rebuild the head's bytes exactly */
        head->number_sizes[i] = (unsigned char)(mirvp_clip_source_pos(reader) - before);
        if (i == 0) info->compressed_size_end = mirvp_clip_source_pos(reader) - head_pos;
    }
    info->items_end = mirvp_clip_source_pos(reader) - head_pos;
    info->head_size = head_size;

    /* the head is at most 4096 bytes, so sizes inside it fit any size_t */
    room = head_size - (size_t)info->items_end;
    if (info->checksum_size > room || 3 * (size_t)info->checksum_size > room) return 0;
    info->checksums_begin = head_size - 3 * (size_t)info->checksum_size;
    if (info->ring_size < 2 || info->ring_size > 64 || (info->ring_size & (info->ring_size - 1))) return 0;
    if ((info->checksum_type[0] == '\0') != (info->checksum_size == 0)) return 0;
    if (info->window_size > info->old_size) return 0;
    if (info->window_size && !info->window_count) return 0;
    if (info->compressed_size > info->uncompressed_size) return 0;
    if (!at_most_plus_slack(info->step_mem_size, info->new_size, kStepMemSlack) ||
        !at_most_plus_slack(info->step_mem_size, info->uncompressed_size, kStepMemSlack))
        return 0;
    return 1;
}

/* A packed uint (k = 0) in exactly size bytes: given its length, the bytes are unique. */
static unsigned char* put_uint_sized(unsigned char* out, uint64_t value, size_t size) {
    size_t i;
    for (i = size; i-- > 0;) {
        out[i] = (unsigned char)((value & 0x7F) | (i + 1 < size ? 0x80 : 0));
        value >>= 7;
    }
    return out + size;
}

static unsigned char* put_text(unsigned char* out, const char* text, char end_char) {
    size_t len = strlen(text);
    memcpy(out, text, len);
    out[len] = (unsigned char)end_char;
    return out + len + 1;
}

mirv_BOOL mirvp_copy_window_head(mirv_windowDiffInfo* info, TWindowHeadReader* head, unsigned char* out) {
    unsigned char* cursor = out;
    int i;
    memcpy(cursor, mirv_kWindowDiffSignature, 8);
    cursor[8] = (unsigned char)((info->head_size - 10) & 0xFF);
    cursor[9] = (unsigned char)((info->head_size - 10) >> 8);
    cursor = put_text(cursor + 10, info->compress_type, '&');
    cursor = put_text(cursor, info->checksum_type, '\0');
    for (i = 0; i < mirvp_kWindowHeadNumbers; ++i) cursor = put_uint_sized(cursor, *window_head_number(info, i), head->number_sizes[i]);
    return mirvp_clip_read_to(&head->reader, cursor, out + (size_t)info->head_size);
}

mirv_BOOL getWindowDiffInfo(mirv_windowDiffInfo* out_info, const mirv_TStreamInput* diff, uint64_t head_pos) {
    TWindowHeadReader head;
    return mirvp_read_window_head(out_info, &head, diff, head_pos);
}
#endif /* !MIRV_PATCH_SMALL */
