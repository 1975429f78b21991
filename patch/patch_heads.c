/* Heads of the four diff formats: reading, checking and reporting them. */
#include <string.h>

#include "patch_internal.h"

/* a <= b + slack, without wrapping */
static mirv_BOOL _at_most_plus_slack(uint64_t a, uint64_t b, uint64_t slack) {
    return a <= slack || a - slack <= b;
}

mirv_BOOL _read_serialized_head(TSerializedDiffHead* head, const mirv_TStreamInput* diff) {
    unsigned char cache[_kHeadCacheSize];
    TStreamCacheClip reader;
    uint64_t size = diff->size, end;
    _TStreamCacheClip_init(&reader, diff, 0, size, cache, sizeof(cache));
    if (!_TStreamCacheClip_unpackUIntWithTag(&reader, &head->cover_count, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &head->lengths_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &head->new_gaps_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &head->old_deltas_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &head->new_diff_size, 0))
        return 0;
    head->head_end = _TStreamCacheClip_readPosOfSrcStream(&reader);
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

mirv_BOOL _read_compressed_head(mirv_compressedDiffInfo* info, TCompressedDiffHead* head,
                                const mirv_TStreamInput* diff) {
    unsigned char cache[_kHeadCacheSize];
    char text[mirv_kMaxTypeNameSize];
    TStreamCacheClip reader;
    uint64_t* sizes[8];
    int i;
    _TStreamCacheClip_init(&reader, diff, 0, diff->size, cache, sizeof(cache));
    if (!_TStreamCacheClip_readStr_end(&reader, '&', text, sizeof(text)) || strcmp(text, "QORVN13") != 0) return 0;
    if (!_TStreamCacheClip_readStr_end(&reader, '\0', info->compress_type, sizeof(info->compress_type))) return 0;
    head->type_end = _TStreamCacheClip_readPosOfSrcStream(&reader);
    if (!_TStreamCacheClip_unpackUIntWithTag(&reader, &info->new_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &info->old_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &head->cover_count, 0))
        return 0;
    head->counts_end = _TStreamCacheClip_readPosOfSrcStream(&reader);
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
        if (!_TStreamCacheClip_unpackUIntWithTag(&reader, sizes[i], 0)) return 0;
        if ((i & 1) && *sizes[i]) ++info->compressed_count;
    }
    head->head_end = _TStreamCacheClip_readPosOfSrcStream(&reader);
    return _add_u64(head->head_end, head->cover_compressed_size ? head->cover_compressed_size : head->cover_size,
                    &head->covers_end);
}

mirv_BOOL getCompressedDiffInfo(mirv_compressedDiffInfo* out_info, const mirv_TStreamInput* diff) {
    TCompressedDiffHead head;
    return _read_compressed_head(out_info, &head, diff);
}

mirv_BOOL getSingleCompressedDiffInfo(mirv_singleCompressedDiffInfo* out_info, const mirv_TStreamInput* diff,
                                      uint64_t head_pos) {
    unsigned char cache[_kHeadCacheSize];
    char text[mirv_kMaxTypeNameSize];
    TStreamCacheClip reader;
    mirv_singleCompressedDiffInfo* info = out_info;
    if (head_pos > diff->size) return 0;
    _TStreamCacheClip_init(&reader, diff, head_pos, diff->size, cache, sizeof(cache));
    if (!_TStreamCacheClip_readStr_end(&reader, '&', text, sizeof(text)) || strcmp(text, "QORVNSF20") != 0)
        return 0;
    if (!_TStreamCacheClip_readStr_end(&reader, '\0', info->compress_type, sizeof(info->compress_type))) return 0;
    if (!_TStreamCacheClip_unpackUIntWithTag(&reader, &info->new_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &info->old_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &info->cover_count, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &info->step_mem_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &info->uncompressed_size, 0) ||
        !_TStreamCacheClip_unpackUIntWithTag(&reader, &info->compressed_size, 0))
        return 0;
    info->diff_data_pos = _TStreamCacheClip_readPosOfSrcStream(&reader) - head_pos;
    if (info->compressed_size > info->uncompressed_size) return 0;
    if (!_at_most_plus_slack(info->step_mem_size, info->new_size, _kStepMemSlack) ||
        !_at_most_plus_slack(info->step_mem_size, info->uncompressed_size, _kStepMemSlack))
        return 0;
    return 1;
}

mirv_BOOL _read_window_head(mirv_windowDiffInfo* info, unsigned char* head_buf, const mirv_TStreamInput* diff,
                            uint64_t head_pos) {
    /* A type name may take up to mirv_kMaxTypeNameSize bytes with its end mark, and the reader
     * must be able to hold that many at once, whatever the head's length. */
    unsigned char cache[mirv_kMaxTypeNameSize];
    mirv_TStreamInput head_stream;
    TStreamCacheClip reader;
    uint64_t head_size, room;
    uint64_t* numbers[12];
    int i;
    if (!_range_in(head_pos, 10, diff->size) || !diff->read(diff, head_pos, head_buf, head_buf + 10)) return 0;
    if (memcmp(head_buf, "QORVNW26", 8) != 0) return 0;
    head_size = 10 + ((uint64_t)head_buf[8] | ((uint64_t)head_buf[9] << 8));
    if (head_size > mirv_kMaxWindowHeadSize) return 0;
    if (!_range_in(head_pos, head_size, diff->size) ||
        !diff->read(diff, head_pos + 10, head_buf + 10, head_buf + head_size))
        return 0;

    mem_as_mirvStreamInput(&head_stream, head_buf + 10, head_buf + head_size);
    _TStreamCacheClip_init(&reader, &head_stream, 0, head_stream.size, cache, sizeof(cache));
    if (!_TStreamCacheClip_readStr_end(&reader, '&', info->compress_type, sizeof(info->compress_type)) ||
        !_TStreamCacheClip_readStr_end(&reader, '\0', info->checksum_type, sizeof(info->checksum_type)))
        return 0;
    numbers[0] = &info->compressed_size;
    numbers[1] = &info->uncompressed_size;
    numbers[2] = &info->new_size;
    numbers[3] = &info->old_size;
    numbers[4] = &info->reserved;
    numbers[5] = &info->window_count;
    numbers[6] = &info->ring_size;
    numbers[7] = &info->step_mem_size;
    numbers[8] = &info->max_step_covers;
    numbers[9] = &info->window_size;
    numbers[10] = &info->checksum_size;
    numbers[11] = &info->skip_size;
    for (i = 0; i < 12; ++i) {
        if (!_TStreamCacheClip_unpackUIntWithTag(&reader, numbers[i], 0)) return 0;
        if (i == 0) info->compressed_size_end = 10 + _TStreamCacheClip_readPosOfSrcStream(&reader);
    }
    info->items_end = 10 + _TStreamCacheClip_readPosOfSrcStream(&reader);
    info->head_size = head_size;

    room = head_size - info->items_end;
    if (info->checksum_size > room / 3) return 0;
    info->checksums_begin = head_size - 3 * info->checksum_size;
    if (info->ring_size < 2 || info->ring_size > 64 || (info->ring_size & (info->ring_size - 1))) return 0;
    if ((info->checksum_type[0] == '\0') != (info->checksum_size == 0)) return 0;
    if (info->window_size > info->old_size) return 0;
    if (info->window_size && !info->window_count) return 0;
    if (info->compressed_size > info->uncompressed_size) return 0;
    if (!_at_most_plus_slack(info->step_mem_size, info->new_size, _kStepMemSlack) ||
        !_at_most_plus_slack(info->step_mem_size, info->uncompressed_size, _kStepMemSlack))
        return 0;
    return 1;
}

mirv_BOOL getWindowDiffInfo(mirv_windowDiffInfo* out_info, const mirv_TStreamInput* diff, uint64_t head_pos) {
    unsigned char head_buf[mirv_kMaxWindowHeadSize];
    return _read_window_head(out_info, head_buf, diff, head_pos);
}
