// The driver's device table and the identifiers it looks for.
#include "ambx.h"

// The only device the driver supports: the amBX light set.
const supported_device devices = {AMBX_VENDOR, AMBX_PRODUCT};

// Registered devices in the order ambx_init found them; ambx_init sets every
// slot free before it scans.
device_table device_slots;
