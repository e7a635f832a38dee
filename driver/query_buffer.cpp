// The buffer of the component count query.
#include "ambx.h"

// Holds the count query and, over it, its reply (up to 64 bytes); shared by
// all devices, used only during ambx_enumerate's count phase.
unsigned char query_buffer[AMBX_REPLY_SIZE];
