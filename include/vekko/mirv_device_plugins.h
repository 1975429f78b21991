/* Plug-ins for the patch library written for devices: no allocation, no C library beyond
 * memcpy and memset, C99, all memory from the caller.
 *
 *   "vekko"  one vekko stream, decoded by the stream decoder (vko_dec.h);
 *   "crc32"  zlib's CRC-32, 4 bytes little-endian, from a 16-entry nibble table.
 *
 * The plug-in records carry no user pointer, so each plug-in here is the first member of a
 * caller-owned record that also holds its state: the caller keeps the record (static
 * memory on a device), fills it with the init function and hands the patch &record.base.
 * The plug-in finds its record again from the pointer it is called with.
 *
 *   static unsigned char vekko_work[16384 + 256];   // window, then input cache
 *   static mirv_TDeviceVekko vekko;
 *   static mirv_TDeviceCrc32 crc32;
 *   ... in on_diff_info:
 *   *out_plugin   = mirv_device_vekko_init(&vekko, vekko_work, sizeof(vekko_work));
 *   *out_checksum = mirv_device_crc32_init(&crc32);
 *
 * Vekko: one handle open at a time per record (a window patch opens one).  The handle's
 * decoder state lives in the record; the caller's work buffer holds the window (the
 * stream header's size) and then the input cache, which takes the rest of the buffer, at
 * least mirv_kDeviceVekkoMinCache bytes.  A stream whose header window does not leave that
 * room is refused at open.  Like the host plug-in, the part that completes the decoded size
 * fails unless the stream's end code is there and no compressed byte follows it.  RAM:
 * sizeof(mirv_TDeviceVekko) + window + cache.
 *
 * Crc32: up to mirv_kDeviceCrc32Handles handles open at once per record (a window patch
 * checks the old data, the new data and the diff). */
#ifndef MIRV_DEVICE_PLUGINS_H
#define MIRV_DEVICE_PLUGINS_H

#include "mirv_patch.h"
#include "vko_dec.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Smallest input cache the vekko plug-in accepts after the window. */
#define mirv_kDeviceVekkoMinCache 16
/* Work buffer bytes for a stream window of window_size and a cache of cache_size. */
#define mirv_DEVICE_VEKKO_WORK_SIZE(window_size, cache_size) ((window_size) + (cache_size))

typedef struct mirv_TDeviceVekko {
    mirv_TDecompress          base; /* hand &record.base to the patch */
    unsigned char*            work;
    size_t                    work_size;
    /* state of the open handle */
    vko_TStream               stream;
    const mirv_TStreamInput*  code;
    /* 32 bits in the size build (MIRV_PATCH_SMALL), which refuses larger sections */
    mirv_TWindowSize          code_pos;
    mirv_TWindowSize          code_end;
    mirv_TWindowSize          decoded_left; /* decoded bytes still to hand out */
    int                       is_open;
    int                       ended;  /* the end code has been read */
    int                       failed; /* a fault was seen; close reports it */
} mirv_TDeviceVekko;

/* Fills *self with the "vekko" plug-in over the work buffer [work, work + work_size) and
 * returns &self->base.  The buffer must stay valid while the patch runs. */
VEKKO_API mirv_TDecompress* mirv_device_vekko_init(mirv_TDeviceVekko* self, unsigned char* work, size_t work_size);

#define mirv_kDeviceCrc32Handles 3

typedef struct mirv_TDeviceCrc32Handle {
    uint32_t crc;
    int      in_use;
} mirv_TDeviceCrc32Handle;

typedef struct mirv_TDeviceCrc32 {
    mirv_TChecksum          base; /* hand &record.base to the patch */
    mirv_TDeviceCrc32Handle handles[mirv_kDeviceCrc32Handles];
} mirv_TDeviceCrc32;

/* Fills *self with the "crc32" plug-in and returns &self->base. */
VEKKO_API mirv_TChecksum* mirv_device_crc32_init(mirv_TDeviceCrc32* self);

/* All the RAM a device holds to apply a window diff with these plug-ins, on a 32-bit target:
 * the patch's work memory, the vekko plug-in's window (the diff's vekko dictionary) and input
 * cache, the two plug-in records and the head record (mirv_windowDiffInfo); the stack comes
 * on top.  mirv_DEVICE_UPDATE_RAM is the default build's figure, mirv_DEVICE_UPDATE_RAM_SMALL
 * the size build's (MIRV_PATCH_SMALL), whose patch keeps a small fixed reserve and a ring of
 * ring_size descriptors instead of 12288 bytes. */
#define mirv_kDeviceUpdateRecords 916 /* vekko and crc32 records, 64-byte cache, head record */
#define mirv_DEVICE_UPDATE_RAM(window_size, step_mem_size, vekko_dict_size) \
    (mirv_WINDOW_PATCH_MEM_SIZE(window_size, step_mem_size) + (vekko_dict_size) + mirv_kDeviceUpdateRecords)
/* Size build, 32-bit target: the vekko record (124 bytes) and a 32-byte input cache after its
 * window, the crc32 record (52) and the head record (224). */
#define mirv_kDeviceVekkoSmallCache 32
#define mirv_kDeviceUpdateSmallRecords (124 + mirv_kDeviceVekkoSmallCache + 52 + 224)
#define mirv_DEVICE_UPDATE_RAM_SMALL(window_size, step_mem_size, ring_size, vekko_dict_size) \
    (mirv_WINDOW_PATCH_SMALL_MEM_SIZE(window_size, step_mem_size, ring_size) + (vekko_dict_size) + \
     mirv_kDeviceUpdateSmallRecords)

/* zlib's crc32: continues crc over [data, data_end); start from 0. */
VEKKO_API uint32_t mirv_device_crc32(uint32_t crc, const unsigned char* data, const unsigned char* data_end);

#ifdef __cplusplus
}
#endif

#endif /* MIRV_DEVICE_PLUGINS_H */
