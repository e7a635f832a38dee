// The message counter shared by every device of the process.
#include "ambx.h"

// Numbers every framed message: its low nibble becomes the header's
// sequence nibble (1, 2, ..., 15, 0, 1, ...). Starts at 1, never reset.
int8_t msg_counter = 1;
