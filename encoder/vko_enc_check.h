/* The encoder's failure reporting: a std::runtime_error whose text is "check ",
 * the failed condition as written in the source, and " error!". */
#ifndef VKO_ENC_CHECK_H
#define VKO_ENC_CHECK_H

#include <stdexcept>

#define vko_check(cond) \
    do { if (!(cond)) throw std::runtime_error("check " #cond " error!"); } while (0)

/* For a condition whose source text differs from the one the message names. */
#define vko_check_msg(cond, text) \
    do { if (!(cond)) throw std::runtime_error("check " text " error!"); } while (0)

#endif /* VKO_ENC_CHECK_H */
