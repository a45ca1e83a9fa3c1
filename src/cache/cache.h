// The media state cache: the reply parsers that fill it (each takes the
// handle and the reply, borrowed, and returns the result the reply
// callback gets) and its reset.
#ifndef KIV_CACHE_CACHE_H
#define KIV_CACHE_CACHE_H

#include <stdint.h>

#include "handle.h"
#include "kiv_ipod.h"

struct ipod_packet;

#ifdef __cplusplus
extern "C" {
#endif

int32_t set_track_info(kiv_ipod_client *client, const struct ipod_packet *packet, const char *key,
                       track_info *record);
int32_t set_indexed_track_info(kiv_ipod_client *client, const struct ipod_packet *packet);
void clear_track_info(track_info *record);
void reset_cache(kiv_ipod_client *client);
int32_t set_play_status(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_records(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_open_session_result(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_artwork(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_lingo_version(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_db_track_info(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_pb_track_info(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_indexed_track_chapter_info(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_current_track_sample_rate(kiv_ipod_client *client, const struct ipod_packet *packet);
int32_t set_db_itunes_info(kiv_ipod_client *client, const struct ipod_packet *packet);
// Releases the artwork (the copy read from the daemon's file and that file,
// and any inline copy) and zeroes its sizes.
void release_artwork(kiv_ipod_client *client);

#ifdef __cplusplus
}
#endif

#endif  // KIV_CACHE_CACHE_H
