/* The hand-checked streams of the format description (docs/format.md), and what they
 * decode to: the one table every test reads them from. */
#ifndef VEKKO_WORKED_STREAMS_H
#define VEKKO_WORKED_STREAMS_H

#include <vector>

#include "decode_helpers.h"

namespace vekko_test {

struct WorkedStream {
    const char* name;
    Bytes stream; /* header included */
    Bytes data;   /* what it decodes to */
};

/* In order: "empty", "one literal", "abc repeated", "literal line". */
const std::vector<WorkedStream>& workedStreams();
/* One of them by name; throws std::out_of_range for an unknown name. */
const WorkedStream& workedStream(const char* name);

} // namespace vekko_test

#endif
