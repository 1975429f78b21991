/* The device example: decodes a vekko stream held in (simulated) flash and checks it, and
 * applies a window diff held there to the old text with the device plug-ins. */
#ifndef DEVICE_EXAMPLE_H
#define DEVICE_EXAMPLE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Returns 0 when the stream decoded to the expected bytes, else the step that failed:
 * 1 header, 2 decoder result, 3 wrong bytes, 4 wrong length. */
int device_example_run(void);

/* Returns 0 when the window diff turned the old text into the expected new text, else
 * 10 + the window patch's result code, or 30 for wrong bytes. */
int device_patch_run(void);

#ifdef __cplusplus
}
#endif

#endif
