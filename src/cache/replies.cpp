// Placeholder until the reply parsers land.
#include "internal.h"

extern "C" {
int32_t set_play_status(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_records(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_open_session_result(kiv_ipod_client *, const ipod_packet *) { return 0; }
int32_t set_artwork(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_lingo_version(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_db_track_info(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_pb_track_info(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_indexed_track_chapter_info(kiv_ipod_client *, const ipod_packet *) { return -1; }
int32_t set_current_track_sample_rate(kiv_ipod_client *, const ipod_packet *) { return 0; }
int32_t set_db_itunes_info(kiv_ipod_client *, const ipod_packet *) { return -1; }
}
