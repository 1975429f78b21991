/* The device vekko plug-in's open in two halves, for the host plug-in, which sizes the work
 * buffer from the stream header in between.  The header is read once: the section's reader
 * may take reads only front to back. */
#ifndef MIRV_DEVICE_VEKKO_H
#define MIRV_DEVICE_VEKKO_H

#include "mirv_device_plugins.h"

/* Points *self at the section code[code_begin, code_end) and reads its stream header.
 * Returns the window the header asks for, or 0 when the range is not inside code or the
 * header can't be read. */
vko_size_t mirv_device_vekko_read_window(mirv_TDeviceVekko* self, const mirv_TStreamInput* code,
                                         uint64_t code_begin, uint64_t code_end);

/* Starts decoding the decoded_size bytes after the header, with the window read_window
 * returned, over self->work.  False (and *self failed) when the window is 0 or leaves the
 * work buffer less than mirv_kDeviceVekkoMinCache bytes of cache, or an empty section does
 * not end there. */
mirv_BOOL mirv_device_vekko_start(mirv_TDeviceVekko* self, vko_size_t window, uint64_t decoded_size);

#endif /* MIRV_DEVICE_VEKKO_H */
