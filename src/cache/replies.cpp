// Reply parsers that fill the handle's caches (play status, records, session
// opening, artwork, lingo version, database lists, sample rate, iTunes
// database information) and the accessors of those caches.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "cache/cache.h"
#include "cache/retained.h"
#include "cache/value_lookup.h"
#include "events/events.h"
#include "handle.h"
#include "link/link.h"
#include "protocol/protocol.h"

namespace {

// What the never-null byte accessors give without a handle: the zeros of a
// handle that had no database-information reply (the longer field).
constexpr unsigned char kNoBytes[IPOD_TRACK_UID_SIZE] = {};

struct FreeValue {
    serialize_value *value;
    ~FreeValue() { serialize_free(value); }
};

// The reply as a hash, or null (the caller then reports its failure).
const serialize_value *as_hash(const FreeValue &reply) {
    return serialize_type(reply.value) == SERIALIZE_HASH ? reply.value : nullptr;
}

// Takes a daemon error: keeps its text in last_error. True when the reply
// was an error.
bool take_error(kiv_ipod_client *client, const serialize_value *value) {
    return cache_take_error(client, value) != 0;
}

bool artwork_is_private(const kiv_ipod_client *client) {
    return client->artwork_data && client->artwork_data != client->artwork_map;
}

void release_private_artwork(kiv_ipod_client *client) {
    if (artwork_is_private(client)) free(client->artwork_data);
    client->artwork_data = nullptr;
}

// Drops the image read from the daemon's file, and closes that file. Every
// caller has run release_private_artwork first, so no pointer to the pixels
// outlives them.
void release_file_artwork(kiv_ipod_client *client) {
    if (!client->artwork_map) return;
    free(client->artwork_map);
    close(client->artwork_map_fd);
    client->artwork_map = nullptr;
    client->artwork_map_length = 0;
    client->artwork_map_fd = -1;
}

// Reads the first `length` bytes of the open file `fd` into `copy`. False
// when the file ends first (the daemon cut it) or the read fails.
bool read_artwork_file(int fd, uint8_t *copy, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        ssize_t got = pread(fd, copy + done, length - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<uint32_t>(got);
    }
    return true;
}

// Opens the daemon's artwork file for reading only and reads `length` bytes
// of it into memory of the handle's own, which the handle takes with the
// open file only when the whole image was read. The file is opened so
// that it can never become the controlling terminal (O_NOCTTY) and never
// waits for a writer (O_NONBLOCK); only a regular file that holds the
// whole image is kept. The pixels are copied, never mapped: a daemon that
// cuts its file afterwards cannot make a read of the artwork fault.
bool open_artwork_file(kiv_ipod_client *client, const char *path, uint32_t length) {
    if (!path || length == 0) return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        kv_error("%s, cannot open " IPOD_LOG_TEXT "\n", "set_artwork", path);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(length)) {
        kv_error("%s, " IPOD_LOG_TEXT " is shorter than %u bytes\n", "set_artwork", path, length);
        close(fd);
        return false;
    }
    auto *copy = static_cast<uint8_t *>(malloc(length));
    if (!copy || !read_artwork_file(fd, copy, length)) {
        free(copy);
        close(fd);
        return false;
    }
    client->artwork_map = copy;
    client->artwork_map_fd = fd;
    client->artwork_map_length = length;
    return true;
}

// Fills the handle's copy with `length` bytes of the shared artwork file:
// from the file already open while the image fits in its copy, else from
// the file that the reply names.
bool load_shared_artwork(kiv_ipod_client *client, const char *path, uint32_t length) {
    if (client->artwork_map && client->artwork_map_length >= length &&
        read_artwork_file(client->artwork_map_fd, client->artwork_map, length))
        return true;
    release_file_artwork(client);
    return open_artwork_file(client, path, length);
}

// Appends a value to a list (serialize_array_add costs O(1)); without a
// list to hold it the value is released.
void append_value(serialize_value *list, serialize_value *value) {
    if (serialize_type(list) != SERIALIZE_ARRAY) {
        serialize_free(value);
        return;
    }
    serialize_array_add(list, value);
}

// Appends a copy of track[key] to list, or logs that the key is missing.
void append_hash_value(serialize_value *list, const serialize_value *track, const char *key) {
    const serialize_value *value =
        serialize_type(track) == SERIALIZE_HASH ? serialize_hash_get(track, key) : nullptr;
    if (!value) {
        kv_error("could not find this key(%s) from following value", key);
        if (track) serialize_print(track);
        return;
    }
    append_value(list, serialize_dup(value));
}

struct TrackListFormat {
    const char *name;    // parser name for the log lines
    const char *marker;  // member that marks a successful reply
    int32_t full_count;  // members of a complete track hash
    const char *const *keys;
    size_t key_count;  // keys appended before "uid" for a complete track
};

constexpr const char *kDbKeys[] = {"cap", "title", "artist", "album", "genre", "duration"};
constexpr const char *kPbKeys[] = {"index", "title", "artist", "album", "duration"};
constexpr TrackListFormat kDbFormat = {"set_db_track_info", "get_db_track_info", 7, kDbKeys, 6};
constexpr TrackListFormat kPbFormat = {"set_pb_track_info", "get_pb_track_info", 6, kPbKeys, 5};

int32_t set_track_list(kiv_ipod_client *client, const TrackListFormat &format, const ipod_packet *packet,
                       serialize_value **slot) {
    if (!packet || packet->length == 0) {
        kv_error("%s, invalid client packet received.", format.name);
        return -1;
    }
    FreeValue reply{cache_decode(packet)};
    const serialize_value *hash = as_hash(reply);
    // The error text is kept; the checks below then refuse the reply.
    take_error(client, hash);
    if (!hash || serialize_hash_count(hash) < 2) {
        kv_error("%s, no track info.", format.name);
        return -1;
    }
    if (!serialize_hash_has_key(hash, format.marker)) {
        kv_error("%s, error was returned.", format.name);
        serialize_print(hash);
        return -1;
    }
    // The list is built aside and takes the cached one's place only when
    // the handle may hold it.
    FreeValue built{serialize_array()};
    serialize_value *list = built.value;
    for (auto *entry = static_cast<const serialize_hash_entry *>(hash->data); entry; entry = entry->next) {
        if (!entry->key || strcmp(entry->key, format.marker) == 0) continue;
        const serialize_value *track = entry->value;
        bool full =
            serialize_type(track) == SERIALIZE_HASH && serialize_hash_count(track) == format.full_count;
        if (full) {
            for (size_t i = 0; i < format.key_count; ++i) append_hash_value(list, track, format.keys[i]);
        }
        append_hash_value(list, track, "uid");
    }
    const int kind = slot == &client->db_track_info ? IPOD_RETAINED_DB_TRACKS : IPOD_RETAINED_PB_TRACKS;
    if (!cache_admit(client, kind, value_footprint(built.value), format.name)) return -1;
    serialize_free(*slot);
    *slot = built.value;
    built.value = nullptr;
    return 1;
}

// Copies up to `size` bytes of a byte string into `field`, zero-filling what
// a shorter value does not cover. False when the entry is not a byte string.
bool copy_fixed_bytes(uint8_t *field, size_t size, const serialize_value *hash, const char *key) {
    const serialize_value *value = value_typed(hash, key, SERIALIZE_BYTES);
    if (!value) return false;
    int32_t length = 0;
    const void *bytes = serialize_get_bytes(value, &length);
    const size_t n = std::min(static_cast<size_t>(std::max(length, 0)), size);
    memset(field, 0, size);
    if (n > 0) memcpy(field, bytes, n);
    return true;
}

}  // namespace

extern "C" {

// ------------------------------------------------------------ parsers

int32_t set_play_status(kiv_ipod_client *client, const ipod_packet *packet) {
    FreeValue reply{cache_decode(packet)};
    const serialize_value *hash = as_hash(reply);
    if (!hash || take_error(client, hash)) return -1;
    const serialize_value *status = value_typed(hash, "current_play_status", SERIALIZE_INT);
    // Without a status code the reply tells nothing reliable.
    if (!status) return -1;
    track_info &track = client->current_track;
    track.state = serialize_get_int(status);
    track.length = value_int_or(hash, "length", -1);
    track.position = value_int_or(hash, "position", -1);
    return track.state;
}

int32_t set_records(kiv_ipod_client *client, const ipod_packet *packet) {
    if (!packet || packet->length == 0) return -1;
    serialize_value *reply = cache_decode(packet);
    if (serialize_type(reply) != SERIALIZE_ARRAY) {
        take_error(client, reply);
        serialize_free(reply);
        return 0;
    }
    if (!cache_admit(client, IPOD_RETAINED_RECORDS, value_footprint(reply), "set_records")) {
        serialize_free(reply);
        return 0;
    }
    serialize_free(client->records);
    client->records = reply;
    const serialize_value *result = serialize_array_get(reply, 1);
    return serialize_type(result) == SERIALIZE_INT ? serialize_get_int(result) : 0;
}

int32_t set_open_session_result(kiv_ipod_client *client, const ipod_packet *packet) {
    if (client->current_session < 0) {
        kv_debug("Already disconnected.");
        cache_take_packet_error(client, packet);
        return 0;
    }
    FreeValue reply{cache_decode(packet)};
    const serialize_value *hash = as_hash(reply);
    take_error(client, hash);
    int32_t result = hash ? value_int_or(hash, "result", 0) : 0;
    if (result != 1) {
        client->session_opened = 0;
        return result;
    }
    const serialize_value *devices = value_typed(hash, "devices", SERIALIZE_ARRAY);
    if (devices) {
        serialize_value *copy = copy_device_list(devices, "set_open_session_result");
        if (copy &&
            !cache_admit(client, IPOD_RETAINED_DEVICES, value_footprint(copy), "set_open_session_result")) {
            serialize_free(copy);
            copy = nullptr;
        }
        if (copy) {
            serialize_free(client->devices);
            client->devices = copy;
        }
    } else {
        // Keep the list we have rather than forget every device.
        kv_error("%s, reply without devices.\n", "set_open_session_result");
    }
    client->session_opened = 1;
    set_ready(client, client->current_session);
    return 1;
}

int32_t set_artwork(kiv_ipod_client *client, const ipod_packet *packet) {
    FreeValue reply{cache_decode(packet)};
    const serialize_value *hash = as_hash(reply);
    if (!hash || take_error(client, hash)) return -1;

    bool shared = serialize_hash_has_key(hash, "image_path");
    const serialize_value *image = value_typed(hash, "image", SERIALIZE_BYTES);
    if (!shared && !image) return -1;  // no pixels at all: keep what is cached

    const auto width = static_cast<uint16_t>(value_int_or(hash, "width", 0));
    const auto height = static_cast<uint16_t>(value_int_or(hash, "height", 0));
    const auto rowstride = static_cast<uint16_t>(value_int_or(hash, "rowstride", 0));
    const uint32_t needed = static_cast<uint32_t>(rowstride) * height;
    // No image is larger than a payload, in a file or inline. A file image
    // that is refused leaves none; inline pixels that are refused leave the
    // cached ones.
    if (needed > IPOD_MAX_PAYLOAD) {
        kv_error("%s, image of %u bytes exceeds the limit of %u bytes\n", "set_artwork", needed,
                 IPOD_MAX_PAYLOAD);
        if (shared) release_artwork(client);
        return -1;
    }

    if (shared) {
        release_private_artwork(client);
        if (!load_shared_artwork(client, value_text(hash, "image_path"), needed)) {
            client->artwork_width = client->artwork_height = client->artwork_rowstride = 0;
            return -1;
        }
        client->artwork_data = client->artwork_map;
        client->artwork_width = width;
        client->artwork_height = height;
        client->artwork_rowstride = rowstride;
        return 1;
    }

    // Inline pixels: the copy always covers rowstride x height bytes, the
    // length that kiv_ipod_current_track_artwork_length reports, and is
    // never larger than a payload (the pixels came in one). The sizes
    // change only with the pixels.
    int32_t image_length = 0;
    const void *pixels = serialize_get_bytes(image, &image_length);
    const size_t copied = static_cast<size_t>(std::max(image_length, 0));
    const size_t size = std::max<size_t>(copied, needed);
    auto *buffer = static_cast<uint8_t *>(calloc(size ? size : 1, 1));
    if (!buffer) return -1;
    if (copied > 0) memcpy(buffer, pixels, copied);
    release_private_artwork(client);
    client->artwork_data = buffer;
    client->artwork_width = width;
    client->artwork_height = height;
    client->artwork_rowstride = rowstride;
    kv_debug("wxh %dx%d rowstride %d\n", client->artwork_width, client->artwork_height,
             client->artwork_rowstride);
    return 1;
}

void release_artwork(kiv_ipod_client *client) {
    release_private_artwork(client);
    release_file_artwork(client);
    client->artwork_width = client->artwork_height = client->artwork_rowstride = 0;
}

int32_t set_lingo_version(kiv_ipod_client *client, const ipod_packet *packet) {
    fprintf(stderr, "%s\n", "set_lingo_version");
    if (!packet || packet->length == 0) return -1;
    FreeValue reply{cache_decode(packet)};
    if (take_error(client, reply.value)) return -1;
    const serialize_value *major = value_typed(reply.value, "major", SERIALIZE_INT);
    const serialize_value *minor = value_typed(reply.value, "minor", SERIALIZE_INT);
    if (!major || !minor) return -1;
    fprintf(stderr, "%s, major=%d, minor=%d\n", "set_lingo_version", serialize_get_int(major),
            serialize_get_int(minor));
    // The field holds 7 characters and the terminator; longer texts are cut.
    char text[32];
    snprintf(text, sizeof text, "%d.%d", serialize_get_int(major), serialize_get_int(minor));
    memset(client->version, 0, sizeof client->version);
    memcpy(client->version, text, strnlen(text, sizeof client->version - 1));
    return 1;
}

int32_t set_db_track_info(kiv_ipod_client *client, const ipod_packet *packet) {
    return set_track_list(client, kDbFormat, packet, &client->db_track_info);
}

int32_t set_pb_track_info(kiv_ipod_client *client, const ipod_packet *packet) {
    return set_track_list(client, kPbFormat, packet, &client->pb_track_info);
}

int32_t set_indexed_track_chapter_info(kiv_ipod_client *client, const ipod_packet *packet) {
    if (!packet || packet->length == 0) return -1;
    serialize_value *reply = cache_decode(packet);
    if (serialize_type(reply) != SERIALIZE_ARRAY) {
        take_error(client, reply);
        serialize_free(reply);
        return -1;
    }
    serialize_array_del(reply, 0);
    if (!cache_admit(client, IPOD_RETAINED_CHAPTERS, value_footprint(reply),
                     "set_indexed_track_chapter_info")) {
        serialize_free(reply);
        return -1;
    }
    serialize_free(client->indexed_track_chapter_info);
    client->indexed_track_chapter_info = reply;
    return 1;
}

int32_t set_current_track_sample_rate(kiv_ipod_client *client, const ipod_packet *packet) {
    if (client->current_session < 0) {
        kv_debug("%s, already disconnected.\n", "set_current_track_sample_rate");
        cache_take_packet_error(client, packet);
        return 0;
    }
    FreeValue reply{cache_decode(packet)};
    const serialize_value *hash = as_hash(reply);
    if (!hash || take_error(client, hash)) return 0;
    const serialize_value *rate = value_typed(hash, "sample_rate", SERIALIZE_INT);
    if (!rate) return 0;
    client->current_track.sample_rate = serialize_get_int(rate);
    kv_debug("%s, samplerate=%d\n", "set_current_track_sample_rate", client->current_track.sample_rate);
    return client->current_track.sample_rate;
}

int32_t set_db_itunes_info(kiv_ipod_client *client, const ipod_packet *packet) {
    FreeValue reply{cache_decode(packet)};
    if (!reply.value) return -1;
    serialize_print(reply.value);
    if (take_error(client, reply.value)) return -1;
    const serialize_value *type = value_typed(reply.value, "type", SERIALIZE_INT);
    if (!type) return -1;
    switch (serialize_get_int(type)) {
        case 0:
            return copy_fixed_bytes(client->db_device_uid, sizeof client->db_device_uid, reply.value, "uid")
                       ? 1
                       : -1;
        case 1:
            return copy_fixed_bytes(client->db_last_sync_time, sizeof client->db_last_sync_time, reply.value,
                                    "last_sync")
                       ? 1
                       : -1;
        default: {
            const serialize_value *count = value_typed(reply.value, "count", SERIALIZE_INT);
            if (!count) return -1;
            client->db_itunes_info_count = serialize_get_int(count);
            return 1;
        }
    }
}

// ------------------------------------------------------------ accessors

int kiv_ipod_current_track_artwork_width(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->artwork_width;
}
int kiv_ipod_current_track_artwork_height(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->artwork_height;
}
int kiv_ipod_current_track_artwork_rowstride(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->artwork_rowstride;
}

uint32_t kiv_ipod_current_track_artwork_length(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return static_cast<uint32_t>(client->artwork_rowstride) * client->artwork_height;
}

const unsigned char *kiv_ipod_current_track_artwork_data(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->artwork_data;
}

int kiv_ipod_get_category(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->category;
}
int kiv_ipod_record_count(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->record_count;
}
serialize_value *kiv_ipod_records(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->records;
}

const char *kiv_ipod_record(kiv_ipod_client *client, int index) {
    if (client == nullptr) return nullptr;
    const serialize_value *records = client->records;
    const serialize_value *ok = serialize_array_get(records, 1);
    if (serialize_type(ok) != SERIALIZE_INT || serialize_get_int(ok) == 0) return nullptr;
    const serialize_value *first = serialize_array_get(records, 2);
    const serialize_value *count = serialize_array_get(records, 3);
    if (serialize_type(first) != SERIALIZE_INT || serialize_type(count) != SERIALIZE_INT) return nullptr;
    int64_t offset = static_cast<int64_t>(index) - serialize_get_int(first);
    if (offset < 0 || offset >= serialize_get_int(count) || offset > INT32_MAX - 4) return nullptr;
    const serialize_value *record = serialize_array_get(records, static_cast<int32_t>(offset + 4));
    return serialize_type(record) == SERIALIZE_STRING ? serialize_get_string(record) : nullptr;
}

serialize_value *kiv_ipod_get_result_db_track_info(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->db_track_info;
}
serialize_value *kiv_ipod_get_result_pb_track_info(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->pb_track_info;
}
serialize_value *kiv_ipod_get_result_indexed_track_chapter_info(kiv_ipod_client *client) {
    if (client == nullptr) return nullptr;
    return client->indexed_track_chapter_info;
}
const unsigned char *kiv_ipod_get_result_db_device_uid(kiv_ipod_client *client) {
    if (client == nullptr) return kNoBytes;
    return client->db_device_uid;
}
const unsigned char *kiv_ipod_get_result_db_last_sync_time(kiv_ipod_client *client) {
    if (client == nullptr) return kNoBytes;
    return client->db_last_sync_time;
}
int kiv_ipod_get_result_db_itunes_info_count(kiv_ipod_client *client) {
    if (client == nullptr) return 0;
    return client->db_itunes_info_count;
}

const char *kiv_ipod_get_result_lingo_version(kiv_ipod_client *client) {
    if (client == nullptr) return "";
    kv_debug("%s, c->version=%s\n", "kiv_ipod_get_result_lingo_version", client->version);
    return client->version;
}

}  // extern "C"
