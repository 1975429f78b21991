/* The library's own version, for programs to compare against the headers they were
 * compiled with (vekko_version.h). */
#include "vekko_version.h"

unsigned vekko_version_number(void) {
    return VEKKO_VERSION_NUMBER;
}

const char* vekko_version_string(void) {
    return VEKKO_VERSION_STRING;
}
