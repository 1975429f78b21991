/* Texts of the window patch's results, for messages; both builds of the window patch share them. */
#include "mirv_patch.h"

const char* mirv_window_patch_result_text(int result) {
    switch (result) {
    case mirv_kWindowPatchOk: return "the new data was produced (and verified where asked)";
    case mirv_kWindowPatchHeadError: return "no window head, or it failed its checks";
    case mirv_kWindowPatchOutputTooSmall: return "the output is smaller than the new data";
    case mirv_kWindowPatchOldSizeError: return "the old data is not the size the diff was made for";
    case mirv_kWindowPatchListenerRefused: return "the diff's compression or checksum is not known here";
    case mirv_kWindowPatchMemoryError: return "too little work memory";
    case mirv_kWindowPatchFailed: return "bad diff data or a read or write error";
    case mirv_kWindowPatchChecksumPluginError: return "no plug-in for the diff's checksum";
    case mirv_kWindowPatchChecksumOpenError: return "a checksum could not be started";
    case mirv_kWindowPatchOldChecksumError: return "the old data is not the data the diff was made from";
    case mirv_kWindowPatchNewChecksumError: return "the new data does not match its checksum";
    case mirv_kWindowPatchDiffChecksumError: return "the diff is damaged";
    default: return "unknown result";
    }
}
