// Placeholder until the accessory requests land.
#include "internal.h"

extern "C" {
uint32_t preference_type_to_wire(int32_t) { return 0; }
uint32_t preference_setting_to_wire(uint32_t) { return 0; }
uint32_t preference_setting_from_wire(uint32_t, uint32_t) { return 255; }
}
