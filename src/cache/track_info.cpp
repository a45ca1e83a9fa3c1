// Current-track and indexed-track cache, the whole-cache reset, and the
// tolerant value lookups shared by the parsers and the event decoder.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cache/cache.h"
#include "cache/retained.h"
#include "cache/value_lookup.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

namespace {

// Text for a "%s" whose value may be absent (glibc prints the same).
const char *or_null(const char *text) {
    return text ? text : "(null)";
}

struct FreeValue {
    serialize_value *value;
    ~FreeValue() { serialize_free(value); }
};

void replace_text(char **field, const serialize_value *value) {
    free(*field);
    *field = nullptr;
    if (serialize_type(value) == SERIALIZE_STRING) *field = strdup(serialize_get_string(value));
}

void replace_uid(unsigned char **field, const serialize_value *value) {
    free(*field);
    *field = nullptr;
    if (serialize_type(value) != SERIALIZE_BYTES) return;
    int32_t len = 0;
    const void *bytes = serialize_get_bytes(value, &len);
    if (len != IPOD_TRACK_UID_SIZE || !bytes) return;
    *field = static_cast<unsigned char *>(malloc(IPOD_TRACK_UID_SIZE));
    if (*field) memcpy(*field, bytes, IPOD_TRACK_UID_SIZE);
}

struct TextKey {
    const char *key;
    char *track_info::*field;
};

struct IntKey {
    const char *key;
    int32_t track_info::*field;
};

constexpr TextKey kTextKeys[] = {
    {"title", &track_info::title}, {"chapter", &track_info::chapter},   {"artist", &track_info::artist},
    {"album", &track_info::album}, {"composer", &track_info::composer}, {"genre", &track_info::genre},
};

constexpr IntKey kIntKeys[] = {
    {"length", &track_info::length},
    {"position", &track_info::position},
    {"state", &track_info::state},
    {"number_of_tracks", &track_info::number_of_tracks},
    {"track_index", &track_info::track_index},
    {"chapter_index", &track_info::chapter_index},
    {"chapter_count", &track_info::chapter_count},
    {"timestamp", &track_info::timestamp},
    {"timestamp_usec", &track_info::timestamp_usec},
    {"artwork", &track_info::has_artwork},
    {"has_chapters", &track_info::has_chapters},
    {"is_audiobook", &track_info::is_audiobook},
    {"is_podcast", &track_info::is_podcast},
};

serialize_value *text_or_empty(const char *text) {
    return serialize_string(text ? text : "");
}

serialize_value *decimal(int32_t value) {
    char buf[16];
    snprintf(buf, sizeof buf, "%d", value);
    return serialize_string(buf);
}

void release(serialize_value **value) {
    serialize_free(*value);
    *value = nullptr;
}

// Bytes the texts of a track record hold.
uint64_t record_footprint(const track_info *record) {
    uint64_t bytes = record->uid ? text_footprint("12345678") : 0;
    for (const TextKey &t : kTextKeys) bytes += text_footprint(record->*t.field);
    return bytes;
}

// Most the record can hold once `hash` is applied: what it holds now and
// every text the reply brings.
uint64_t record_footprint_after(const track_info *record, const serialize_value *hash) {
    uint64_t bytes = record_footprint(record) + text_footprint("12345678");
    for (const TextKey &t : kTextKeys) bytes += value_footprint(value_typed(hash, t.key, SERIALIZE_STRING));
    return bytes;
}

}  // namespace

extern "C" {

// ------------------------------------------------------------ value lookups

serialize_value *value_typed(const serialize_value *hash, const char *key, int32_t type) {
    if (serialize_type(hash) != SERIALIZE_HASH || !key) return nullptr;
    serialize_value *value = serialize_hash_get(hash, key);
    return serialize_type(value) == type ? value : nullptr;
}

int32_t value_int_or(const serialize_value *hash, const char *key, int32_t fallback) {
    const serialize_value *value = value_typed(hash, key, SERIALIZE_INT);
    return value ? serialize_get_int(value) : fallback;
}

const char *value_text(const serialize_value *hash, const char *key) {
    const serialize_value *value = value_typed(hash, key, SERIALIZE_STRING);
    return value ? serialize_get_string(value) : nullptr;
}

serialize_value *cache_decode(const ipod_packet *packet) {
    if (!packet || packet->length == 0) return nullptr;
    if (packet->length > INT32_MAX) return nullptr;
    return unserialize(packet->payload, static_cast<int32_t>(packet->length));
}

void cache_set_error(kiv_ipod_client *client, const char *text) {
    free(client->last_error);
    client->last_error = text ? strdup(text) : nullptr;
}

int cache_take_error(kiv_ipod_client *client, const serialize_value *value) {
    if (serialize_type(value) != SERIALIZE_HASH || !serialize_hash_has_key(value, "error")) return 0;
    cache_set_error(client, value_text(value, "error"));
    return 1;
}

int cache_take_packet_error(kiv_ipod_client *client, const ipod_packet *packet) {
    FreeValue reply{cache_decode(packet)};
    return cache_take_error(client, reply.value);
}

// ------------------------------------------------------------ parsers

int32_t set_track_info(kiv_ipod_client *client, const ipod_packet *packet, const char *key,
                       track_info *record) {
    FreeValue reply{cache_decode(packet)};
    if (serialize_type(reply.value) != SERIALIZE_HASH) return -1;
    const serialize_value *hash = reply.value;

    if (cache_take_error(client, hash)) return -1;
    // The indexed track keeps its texts twice (the record and its list).
    const bool indexed = record == &client->indexed_track;
    const int kind = indexed ? IPOD_RETAINED_INDEXED_TRACK : IPOD_RETAINED_CURRENT_TRACK;
    if (!cache_admit(client, kind, record_footprint_after(record, hash) * (indexed ? 2 : 1), key)) return -1;
    // A reply without its result key carries no status: report it as not
    // known, but keep the metadata that it does carry.
    int32_t result = value_int_or(hash, key, -1);

    for (const TextKey &t : kTextKeys) {
        if (serialize_hash_has_key(hash, t.key))
            replace_text(&(record->*t.field), serialize_hash_get(hash, t.key));
    }
    if (serialize_hash_has_key(hash, "uid")) replace_uid(&record->uid, serialize_hash_get(hash, "uid"));
    for (const IntKey &k : kIntKeys) {
        const serialize_value *value = value_typed(hash, k.key, SERIALIZE_INT);
        if (value) record->*k.field = serialize_get_int(value);
    }

    if (record->length == 0) kv_error("track length is zero. title=" IPOD_LOG_TEXT, or_null(record->title));
    cache_retained_set(client, kind, record_footprint(record) * (indexed ? 2 : 1));
    return result;
}

int32_t set_indexed_track_info(kiv_ipod_client *client, const ipod_packet *packet) {
    int32_t result = set_track_info(client, packet, "indexed_track_info", &client->indexed_track);
    const track_info &t = client->indexed_track;

    serialize_free(client->indexed_track_info);
    serialize_value *list = serialize_array();
    client->indexed_track_info = list;
    serialize_array_add(list, text_or_empty(t.title));
    serialize_array_add(list, t.uid ? serialize_bytes(t.uid, IPOD_TRACK_UID_SIZE) : serialize_string(""));
    serialize_array_add(list, text_or_empty(t.artist));
    serialize_array_add(list, text_or_empty(t.album));
    serialize_array_add(list, decimal(t.length));
    serialize_array_add(list, decimal(t.track_index));
    serialize_array_add(list, decimal(t.is_audiobook));
    serialize_array_add(list, decimal(t.is_podcast));
    serialize_array_add(list, decimal(t.chapter_count));
    return result;
}

void clear_track_info(track_info *record) {
    record->length = -1;
    record->position = -1;
    record->state = -1;
    record->number_of_tracks = -1;
    record->track_index = -1;
    record->chapter_index = -1;
    record->sample_rate = -1;
    record->chapter_count = 0;
    record->timestamp = 0;
    record->timestamp_usec = 0;
    record->has_artwork = 0;
    // Cleared with the other flags so that a reset record never reports the
    // chapters of the previous track.
    record->has_chapters = 0;
    record->is_audiobook = 0;
    record->is_podcast = 0;
    for (const TextKey &t : kTextKeys) {
        free(record->*t.field);
        record->*t.field = nullptr;
    }
    free(record->uid);
    record->uid = nullptr;
}

void reset_cache(kiv_ipod_client *client) {
    for (uint32_t &slot : client->pending) slot = 0;

    clear_track_info(&client->indexed_track);
    clear_track_info(&client->current_track);

    release_artwork(client);

    client->category = 0;
    client->record_count = 0;
    client->shuffle_state = -1;
    client->repeat_state = -1;

    // The device list is the one cache a reset keeps.
    for (int kind = 0; kind < IPOD_RETAINED_KINDS; kind++)
        if (kind != IPOD_RETAINED_DEVICES) cache_retained_set(client, kind, 0);
    release(&client->records);
    release(&client->db_track_info);
    release(&client->pb_track_info);
    release(&client->indexed_track_info);
    release(&client->indexed_track_chapter_info);
}

// ------------------------------------------------------------ current track

const char *kiv_ipod_current_track_title(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.title;
}
const unsigned char *kiv_ipod_current_track_uid(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.uid;
}
const char *kiv_ipod_current_track_chapter(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.chapter;
}
const char *kiv_ipod_current_track_artist(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.artist;
}
const char *kiv_ipod_current_track_album(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.album;
}
const char *kiv_ipod_current_track_composer(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.composer;
}
const char *kiv_ipod_current_track_genre(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->current_track.genre;
}
int kiv_ipod_current_number_of_tracks(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_track.number_of_tracks;
}
int kiv_ipod_current_track_index(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_track.track_index;
}
int kiv_ipod_current_chapter_index(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_track.chapter_index;
}
int kiv_ipod_current_chapter_count(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.chapter_count;
}
int kiv_ipod_current_track_length(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_track.length;
}
int kiv_ipod_current_track_position(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_track.position;
}

// protocol.def's play states are the interface's, one by one.
static_assert(ipod_track_state_from_wire(IPOD_PLAY_stopped) == KIV_IPOD_TRACK_STATE_STOPPED, "stopped");
static_assert(ipod_track_state_from_wire(IPOD_PLAY_playing) == KIV_IPOD_TRACK_STATE_PLAYING, "playing");
static_assert(ipod_track_state_from_wire(IPOD_PLAY_paused) == KIV_IPOD_TRACK_STATE_PAUSED, "paused");
static_assert(ipod_track_state_from_wire(IPOD_PLAY_error) == KIV_IPOD_TRACK_STATE_ERROR, "error");
static_assert(ipod_track_state_from_wire(IPOD_PLAY_fast_forward) == KIV_IPOD_TRACK_STATE_FAST_FORWARD,
              "fast_forward");
static_assert(ipod_track_state_from_wire(IPOD_PLAY_rewind) == KIV_IPOD_TRACK_STATE_REWIND, "rewind");

int kiv_ipod_current_track_state(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    // The daemon's play state code in the library's numbering.
    return ipod_track_state_from_wire(client->current_track.state);
}

int kiv_ipod_current_track_timestamp(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.timestamp;
}
int kiv_ipod_current_track_timestamp_usec(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.timestamp_usec;
}
int kiv_ipod_current_track_has_artwork(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.has_artwork;
}
int kiv_ipod_current_track_has_chapters(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.has_chapters;
}
int kiv_ipod_current_track_is_audiobook(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.is_audiobook;
}
int kiv_ipod_current_track_is_podcast(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->current_track.is_podcast;
}
int kiv_ipod_current_sample_rate(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->current_track.sample_rate;
}
int kiv_ipod_current_shuffle_state(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->shuffle_state;
}
int kiv_ipod_current_repeat_state(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    return client->repeat_state;
}

// ------------------------------------------------------------ indexed track

const unsigned char *kiv_ipod_indexed_track_uid(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->indexed_track.uid;
}

const char *kiv_ipod_indexed_track_title(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    kv_debug("%s, title=" IPOD_LOG_TEXT "\n", __func__, or_null(client->indexed_track.title));
    return client->indexed_track.title;
}

const char *kiv_ipod_indexed_track_artist(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    kv_debug("%s, artist=" IPOD_LOG_TEXT "\n", __func__, or_null(client->indexed_track.artist));
    return client->indexed_track.artist;
}

const char *kiv_ipod_indexed_track_album(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    kv_debug("%s, album=" IPOD_LOG_TEXT "\n", __func__, or_null(client->indexed_track.album));
    return client->indexed_track.album;
}

int kiv_ipod_indexed_track_length(kiv_ipod_client *client) {
    if (client == nullptr) return -1;
    kv_debug("%s, length=%d\n", __func__, client->indexed_track.length);
    return client->indexed_track.length;
}

int kiv_ipod_indexed_track_chapter_count(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    kv_debug("%s, chapter_count=%d\n", __func__, client->indexed_track.chapter_count);
    return client->indexed_track.chapter_count;
}

int kiv_ipod_indexed_track_is_audiobook(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    kv_debug("%s, is_audiobook=%d\n", __func__, client->indexed_track.is_audiobook);
    return client->indexed_track.is_audiobook;
}

int kiv_ipod_indexed_track_is_podcast(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    kv_debug("%s, is_podcast=%d\n", __func__, client->indexed_track.is_podcast);
    return client->indexed_track.is_podcast;
}

serialize_value *kiv_ipod_get_result_indexed_track_info(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->indexed_track_info;
}

}  // extern "C"
