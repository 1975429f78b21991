/* The size build's window patch, called from a program built against the default one. */
#ifndef PATCH_WINDOW_SMALL_SIDE_H
#define PATCH_WINDOW_SMALL_SIDE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TSmallSideRun {
    const unsigned char* old;
    size_t               old_size;
    const unsigned char* diff;
    size_t               diff_size;
    unsigned char*       out;
    size_t               out_size;
    unsigned             flags; /* the listener's choices, as fuzz_patch_window reads them */
    size_t               extra; /* work memory beyond the least */
    unsigned char*       mem_end; /* the work memory ends here */
} TSmallSideRun;

/* Patches with the size build; *head_ok tells whether its getWindowDiffInfo took the head. */
int small_side_patch(const TSmallSideRun* run, int* finishes, int* head_ok);

#ifdef __cplusplus
}
#endif

#endif
