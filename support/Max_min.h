// Integer minimum and maximum used by the vectors and their users.
#ifndef DGN_SUPPORT_MAX_MIN_H
#define DGN_SUPPORT_MAX_MIN_H

#include <cstdint>

// Gives the smaller of a and b.
inline int32_t Min(int32_t a, int32_t b) { return a < b ? a : b; }
// Gives the larger of a and b.
inline int32_t Max(int32_t a, int32_t b) { return a > b ? a : b; }

#endif
