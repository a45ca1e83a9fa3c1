// Placeholder until the track cache lands.
#include "internal.h"

extern "C" {
int32_t set_track_info(kiv_ipod_client *, const ipod_packet *, const char *, track_info *) { return -1; }
int32_t set_indexed_track_info(kiv_ipod_client *, const ipod_packet *) { return -1; }
void clear_track_info(track_info *) {}
void reset_cache(kiv_ipod_client *) {}
}
