// Track and database queries: browsing, tracks by index, uid lists,
// artwork and lingo versions.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "cache/cache.h"
#include "protocol/protocol.h"
#include "requests/request.h"

using kiv_req::send_ints;
using kiv_req::Shape;

namespace {

// Success-flag decoding of the select-database and set-category replies:
// the integer goes to record_count (-1 for any failure); 1 when it is zero
// or positive, else 0.
int32_t success_flag(kiv_ipod_client *client, const ipod_packet *reply) {
    serialize_value *value = reply != nullptr ? ipod_decode_payload(reply) : nullptr;
    int32_t count = -1;
    if (serialize_type(value) == SERIALIZE_INT) {
        count = serialize_get_int(value);
    } else if (serialize_hash_has_key(value, "error")) {
        ipod_set_last_error(client, serialize_hash_get_string(value, "error"));
    }
    client->record_count = count;
    serialize_free(value);
    return count >= 0 ? 1 : 0;
}

// Sends an 8-byte track uid; a null uid is refused before anything is read.
uint32_t send_uid(kiv_ipod_client *client, ipod_opcode op, const unsigned char *uid) {
    if (uid == nullptr) {
        kv_error("%s, uid is null\n", kiv_req::name_of(op));
        ipod_set_error_kind(client, KIV_IPOD_ERROR_INVALID_ARGUMENT);
        return 0;
    }
    if (!kiv_req::ready_for(client, op)) return 0;
    return kiv_req::send_payload(client, op, serialize_bytes(uid, IPOD_TRACK_UID_SIZE));
}

}  // namespace

extern "C" {

uint32_t kiv_ipod_current_track_artwork(kiv_ipod_client *client, int32_t size) {
    return send_ints(client, IPOD_OP_current_track_artwork, Shape::kInt, {size});
}
int32_t kiv_ipod_current_track_artwork_sync(kiv_ipod_client *client, int32_t size) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_current_track_artwork(client, size), __func__, set_artwork);
}

uint32_t kiv_ipod_set_category(kiv_ipod_client *client, int32_t category) {
    return send_ints(client, IPOD_OP_set_category, Shape::kInt, {category});
}
int32_t kiv_ipod_set_category_sync(kiv_ipod_client *client, int32_t category) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_set_category(client, category), __func__, success_flag, 0);
}

uint32_t kiv_ipod_set_hierarchy(kiv_ipod_client *client, int32_t hierarchy) {
    return send_ints(client, IPOD_OP_set_hierarchy, Shape::kInt, {hierarchy});
}
int32_t kiv_ipod_set_hierarchy_sync(kiv_ipod_client *client, int32_t hierarchy) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_hierarchy(client, hierarchy), __func__);
}

uint32_t kiv_ipod_select_db(kiv_ipod_client *client, int32_t category, int32_t record_index) {
    return send_ints(client, IPOD_OP_select_db, Shape::kIntArray, {category, record_index});
}
int32_t kiv_ipod_select_db_sync(kiv_ipod_client *client, int32_t category, int32_t record_index) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_select_db(client, category, record_index), __func__,
                                success_flag, 0);
}

uint32_t kiv_ipod_get_records(kiv_ipod_client *client, int32_t start, int32_t count) {
    return send_ints(client, IPOD_OP_get_records, Shape::kIntArray, {start, count});
}
int32_t kiv_ipod_get_records_sync(kiv_ipod_client *client, int32_t start, int32_t count) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_records(client, start, count), __func__, set_records);
}

uint32_t kiv_ipod_indexed_track_info(kiv_ipod_client *client, int32_t index) {
    return send_ints(client, IPOD_OP_indexed_track_info, Shape::kInt, {index});
}
int32_t kiv_ipod_indexed_track_info_sync(kiv_ipod_client *client, int32_t index) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_indexed_track_info(client, index), __func__,
                                set_indexed_track_info);
}

uint32_t kiv_ipod_indexed_track_chapter_info(kiv_ipod_client *client, int32_t track_index,
                                             int32_t chapter_index) {
    return send_ints(client, IPOD_OP_indexed_track_chapter_info, Shape::kIntArray,
                     {track_index, chapter_index});
}
int32_t kiv_ipod_indexed_track_chapter_info_sync(kiv_ipod_client *client, int32_t track_index,
                                                 int32_t chapter_index) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client,
                                kiv_ipod_indexed_track_chapter_info(client, track_index, chapter_index),
                                __func__, set_indexed_track_chapter_info);
}

uint32_t kiv_ipod_write_tag(kiv_ipod_client *client) {
    return send_ints(client, IPOD_OP_write_tag, Shape::kNone);
}
int32_t kiv_ipod_write_tag_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_write_tag(client), __func__);
}

uint32_t kiv_ipod_get_db_itunes_info(kiv_ipod_client *client, int32_t type) {
    kv_debug("%s, type=%d\n", kiv_req::name_of(IPOD_OP_get_db_itunes_info), type);
    return send_ints(client, IPOD_OP_get_db_itunes_info, Shape::kInt, {type});
}

uint32_t kiv_ipod_get_db_track_info(kiv_ipod_client *client, int32_t offset, int32_t count, int32_t options) {
    kv_debug("%s, offset=%d, count=%d\n", kiv_req::name_of(IPOD_OP_get_db_track_info), offset, count);
    return send_ints(client, IPOD_OP_get_db_track_info, Shape::kIntArray, {offset, count, options});
}
int32_t kiv_ipod_get_db_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                        int32_t options) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_db_track_info(client, offset, count, options), __func__,
                                set_db_track_info);
}

uint32_t kiv_ipod_get_pb_track_info(kiv_ipod_client *client, int32_t offset, int32_t count, int32_t options) {
    kv_debug("%s, offset=%d, count=%d\n", kiv_req::name_of(IPOD_OP_get_pb_track_info), offset, count);
    return send_ints(client, IPOD_OP_get_pb_track_info, Shape::kIntArray, {offset, count, options});
}
int32_t kiv_ipod_get_pb_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                        int32_t options) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_pb_track_info(client, offset, count, options), __func__,
                                set_pb_track_info);
}

uint32_t kiv_ipod_prepare_uid_list(kiv_ipod_client *client, int32_t cur, int32_t max, int32_t data_len,
                                   const char *data) {
    const char *name = kiv_req::name_of(IPOD_OP_prepare_uid_list);
    kv_debug("%s, cur=%d, max=%d, data_len=%d\n", name, cur, max, data_len);
    if (!kiv_req::valid_range(client, name, data, data_len)) return 0;
    if (!kiv_req::ready_for(client, IPOD_OP_prepare_uid_list)) return 0;
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_int(cur));
    serialize_array_add(payload, serialize_int(max));
    serialize_array_add(payload, serialize_int(data_len));
    serialize_array_add(payload, kiv_req::bytes_value(data, data_len));
    uint32_t tid = kiv_req::send_payload(client, IPOD_OP_prepare_uid_list, payload);
    kv_debug("%s, transfer_id=%d\n", name, static_cast<int>(tid));
    return tid;
}
int32_t kiv_ipod_prepare_uid_list_sync(kiv_ipod_client *client, const char *text) {
    ipod_entry entry(client);
    const char *name = "kiv_ipod_prepare_uid_list_sync";
    if (!kiv_req::valid_text(client, name, "text", text)) return 0;
    size_t length = strlen(text);
    if (length > static_cast<size_t>(INT32_MAX)) {
        kv_error("%s, text too long (%zu bytes)\n", name, length);
        return 0;
    }
    uint32_t tid = kiv_ipod_prepare_uid_list(client, 0, 0, static_cast<int32_t>(length), text);
    return kiv_req::wait_discard(client, tid, __func__);
}

uint32_t kiv_ipod_play_uid_list(kiv_ipod_client *client, const unsigned char *uid) {
    kv_debug("%s\n", kiv_req::name_of(IPOD_OP_play_uid_list));
    return send_uid(client, IPOD_OP_play_uid_list, uid);
}
int32_t kiv_ipod_play_uid_list_sync(kiv_ipod_client *client, const unsigned char *uid) {
    ipod_entry entry(client);
    return kiv_req::wait_discard(client, kiv_ipod_play_uid_list(client, uid), __func__);
}

uint32_t kiv_ipod_request_lingo_version(kiv_ipod_client *client, int32_t lingo) {
    fprintf(stderr, "%s, lingo=0x%02X\n", kiv_req::name_of(IPOD_OP_request_lingo_version),
            static_cast<unsigned>(lingo));
    return send_ints(client, IPOD_OP_request_lingo_version, Shape::kInt, {lingo});
}
int32_t kiv_ipod_request_lingo_version_sync(kiv_ipod_client *client, int32_t lingo) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_request_lingo_version(client, lingo), __func__,
                                set_lingo_version);
}

uint32_t kiv_ipod_set_current_playing_track_chapter(kiv_ipod_client *client, int32_t index) {
    kv_debug("%s, index=%d\n", kiv_req::name_of(IPOD_OP_set_current_playing_track_chapter), index);
    return send_ints(client, IPOD_OP_set_current_playing_track_chapter, Shape::kInt, {index});
}

uint32_t kiv_ipod_set_current_playing_track(kiv_ipod_client *client, int32_t index) {
    kv_debug("%s, index=%d\n", kiv_req::name_of(IPOD_OP_set_current_playing_track), index);
    return send_ints(client, IPOD_OP_set_current_playing_track, Shape::kInt, {index});
}

uint32_t kiv_ipod_set_available_current(kiv_ipod_client *client, int32_t value) {
    return send_ints(client, IPOD_OP_set_available_current, Shape::kInt, {value});
}
int32_t kiv_ipod_set_available_current_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return kiv_req::wait_discard(client, kiv_ipod_set_available_current(client, value), __func__);
}

uint32_t kiv_ipod_get_artwork_data(kiv_ipod_client *client, const unsigned char *uid) {
    kv_debug("%s\n", kiv_req::name_of(IPOD_OP_get_artwork_data));
    fprintf(stderr, "%s\n", kiv_req::name_of(IPOD_OP_get_artwork_data));
    return send_uid(client, IPOD_OP_get_artwork_data, uid);
}
int32_t kiv_ipod_get_artwork_data_sync(kiv_ipod_client *client, const unsigned char *uid) {
    ipod_entry entry(client);
    const char *name = "kiv_ipod_get_artwork_data_sync";
    kv_debug("%s\n", name);
    fprintf(stderr, "%s\n", name);
    return kiv_req::wait_discard(client, kiv_ipod_get_artwork_data(client, uid), __func__);
}

}  // extern "C"
