// The preference conversions between the setting numbers of the
// interface (KIV_IPOD_PREFERENCE_SETTING_...) and the daemon's (type, wire
// value) pairs; dispatch converts a preference reply with them.
#ifndef KIV_REQUESTS_PREFERENCE_H
#define KIV_REQUESTS_PREFERENCE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t preference_type_to_wire(int32_t type);
uint32_t preference_setting_to_wire(uint32_t setting);
uint32_t preference_setting_from_wire(uint32_t type, uint32_t wire);

#ifdef __cplusplus
}
#endif

#endif  // KIV_REQUESTS_PREFERENCE_H
