// Track and database queries: browsing, tracks by index, uid lists,
// artwork and lingo versions.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "requests/request.h"

using kiv_req::Request;
using kiv_req::send_ints;
using kiv_req::Shape;

namespace {

constexpr Request kCurrentTrackArtwork{"kiv_ipod_current_track_artwork", 17, true,
                                       &kiv_ipod_client::current_track_artwork_tid};
constexpr Request kSetCategory{"kiv_ipod_set_category", 24, true, &kiv_ipod_client::category_tid};
constexpr Request kSetHierarchy{"kiv_ipod_set_hierarchy", 25, true, nullptr};
constexpr Request kSelectDb{"kiv_ipod_select_db", 26, true, &kiv_ipod_client::select_db_tid};
constexpr Request kGetRecords{"kiv_ipod_get_records", 27, true, &kiv_ipod_client::records_tid};
constexpr Request kIndexedTrackInfo{"kiv_ipod_indexed_track_info", 31, true,
                                    &kiv_ipod_client::indexed_track_info_tid};
constexpr Request kIndexedTrackChapterInfo{"kiv_ipod_indexed_track_chapter_info", 32, true,
                                           &kiv_ipod_client::indexed_track_chapter_info_tid};
constexpr Request kWriteTag{"kiv_ipod_write_tag", 34, true, nullptr};
constexpr Request kGetDbItunesInfo{"kiv_ipod_get_db_itunes_info", 42, true,
                                   &kiv_ipod_client::db_itunes_info_tid};
constexpr Request kGetDbTrackInfo{"kiv_ipod_get_db_track_info", 43, true,
                                  &kiv_ipod_client::db_track_info_tid};
constexpr Request kGetPbTrackInfo{"kiv_ipod_get_pb_track_info", 44, true,
                                  &kiv_ipod_client::pb_track_info_tid};
constexpr Request kPrepareUidList{"kiv_ipod_prepare_uid_list", 45, true, &kiv_ipod_client::uid_list_tid};
constexpr Request kPlayUidList{"kiv_ipod_play_uid_list", 46, true, &kiv_ipod_client::uid_list_tid};
constexpr Request kRequestLingoVersion{"kiv_ipod_request_lingo_version", 47, true,
                                       &kiv_ipod_client::lingo_version_tid};
constexpr Request kSetCurrentPlayingTrackChapter{"kiv_ipod_set_current_playing_track_chapter", 48, true,
                                                 nullptr};
constexpr Request kSetCurrentPlayingTrack{"kiv_ipod_set_current_playing_track", 49, true, nullptr};
constexpr Request kSetAvailableCurrent{"kiv_ipod_set_available_current", 50, true, nullptr};
constexpr Request kGetArtworkData{"kiv_ipod_get_artwork_data", 53, true, &kiv_ipod_client::artwork_data_tid};

constexpr int32_t kUidLength = 8;

// Success-flag decoding of the select-database and set-category replies:
// the integer goes to record_count (-1 for any failure); 1 when it is zero
// or positive, else 0.
int32_t success_flag(kiv_ipod_client *client, const ipod_packet *reply) {
    serialize_value *value = reply != nullptr ? ipod_decode_payload(reply) : nullptr;
    int32_t count = -1;
    if (serialize_type(value) == SERIALIZE_INT) {
        count = serialize_get_int(value);
    } else if (serialize_type(value) == SERIALIZE_HASH && serialize_hash_has_key(value, "error")) {
        ipod_set_last_error(client, serialize_hash_get_string(value, "error"));
    }
    client->record_count = count;
    serialize_free(value);
    return count >= 0 ? 1 : 0;
}

// Sends an 8-byte track uid; a null uid is refused before anything is read.
uint32_t send_uid(kiv_ipod_client *client, const Request &req, const unsigned char *uid) {
    if (uid == nullptr) {
        kv_error("%s, uid is null\n", req.name);
        ipod_set_error_kind(client, KIV_IPOD_ERROR_INVALID_ARGUMENT);
        return 0;
    }
    if (!kiv_req::ready_for(client, req)) return 0;
    return kiv_req::send_payload(client, req, serialize_bytes(uid, kUidLength));
}

}  // namespace

extern "C" {

uint32_t kiv_ipod_current_track_artwork(kiv_ipod_client *client, int32_t value) {
    return send_ints(client, kCurrentTrackArtwork, Shape::kInt, {value});
}
int32_t kiv_ipod_current_track_artwork_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_current_track_artwork(client, value), __func__, set_artwork);
}

uint32_t kiv_ipod_set_category(kiv_ipod_client *client, int32_t category) {
    return send_ints(client, kSetCategory, Shape::kInt, {category});
}
int32_t kiv_ipod_set_category_sync(kiv_ipod_client *client, int32_t category) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_set_category(client, category), __func__, success_flag, 0);
}

uint32_t kiv_ipod_set_hierarchy(kiv_ipod_client *client, int32_t value) {
    return send_ints(client, kSetHierarchy, Shape::kInt, {value});
}
int32_t kiv_ipod_set_hierarchy_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_set_hierarchy(client, value), __func__);
}

uint32_t kiv_ipod_select_db(kiv_ipod_client *client, int32_t a, int32_t b) {
    return send_ints(client, kSelectDb, Shape::kIntArray, {a, b});
}
int32_t kiv_ipod_select_db_sync(kiv_ipod_client *client, int32_t a, int32_t b) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_select_db(client, a, b), __func__, success_flag, 0);
}

uint32_t kiv_ipod_get_records(kiv_ipod_client *client, int32_t a, int32_t b) {
    return send_ints(client, kGetRecords, Shape::kIntArray, {a, b});
}
int32_t kiv_ipod_get_records_sync(kiv_ipod_client *client, int32_t a, int32_t b) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_records(client, a, b), __func__, set_records);
}

uint32_t kiv_ipod_indexed_track_info(kiv_ipod_client *client, int32_t index) {
    return send_ints(client, kIndexedTrackInfo, Shape::kInt, {index});
}
int32_t kiv_ipod_indexed_track_info_sync(kiv_ipod_client *client, int32_t index) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_indexed_track_info(client, index), __func__,
                                set_indexed_track_info);
}

uint32_t kiv_ipod_indexed_track_chapter_info(kiv_ipod_client *client, int32_t a, int32_t b) {
    return send_ints(client, kIndexedTrackChapterInfo, Shape::kIntArray, {a, b});
}
int32_t kiv_ipod_indexed_track_chapter_info_sync(kiv_ipod_client *client, int32_t a, int32_t b) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_indexed_track_chapter_info(client, a, b), __func__,
                                set_indexed_track_chapter_info);
}

uint32_t kiv_ipod_write_tag(kiv_ipod_client *client) {
    return send_ints(client, kWriteTag, Shape::kNone);
}
int32_t kiv_ipod_write_tag_sync(kiv_ipod_client *client) {
    ipod_entry entry(client);
    return kiv_req::wait_standard(client, kiv_ipod_write_tag(client), __func__);
}

uint32_t kiv_ipod_get_db_itunes_info(kiv_ipod_client *client, int32_t type) {
    kv_debug("%s, type=%d\n", kGetDbItunesInfo.name, type);
    return send_ints(client, kGetDbItunesInfo, Shape::kInt, {type});
}

uint32_t kiv_ipod_get_db_track_info(kiv_ipod_client *client, int32_t offset, int32_t count, int32_t third) {
    kv_debug("%s, offset=%d, count=%d\n", kGetDbTrackInfo.name, offset, count);
    return send_ints(client, kGetDbTrackInfo, Shape::kIntArray, {offset, count, third});
}
int32_t kiv_ipod_get_db_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                        int32_t third) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_db_track_info(client, offset, count, third), __func__,
                                set_db_track_info);
}

uint32_t kiv_ipod_get_pb_track_info(kiv_ipod_client *client, int32_t offset, int32_t count, int32_t third) {
    kv_debug("%s, offset=%d, count=%d\n", kGetPbTrackInfo.name, offset, count);
    return send_ints(client, kGetPbTrackInfo, Shape::kIntArray, {offset, count, third});
}
int32_t kiv_ipod_get_pb_track_info_sync(kiv_ipod_client *client, int32_t offset, int32_t count,
                                        int32_t third) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_get_pb_track_info(client, offset, count, third), __func__,
                                set_pb_track_info);
}

uint32_t kiv_ipod_prepare_uid_list(kiv_ipod_client *client, int32_t cur, int32_t max, int32_t data_len,
                                   const char *data) {
    const char *name = kPrepareUidList.name;
    kv_debug("%s, cur=%d, max=%d, data_len=%d\n", name, cur, max, data_len);
    if (!kiv_req::valid_range(client, name, data, data_len)) return 0;
    if (!kiv_req::ready_for(client, kPrepareUidList)) return 0;
    serialize_value *payload = serialize_array();
    serialize_array_add(payload, serialize_int(cur));
    serialize_array_add(payload, serialize_int(max));
    serialize_array_add(payload, serialize_int(data_len));
    serialize_array_add(payload, kiv_req::bytes_value(data, data_len));
    uint32_t tid = kiv_req::send_payload(client, kPrepareUidList, payload);
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
    kv_debug("%s\n", kPlayUidList.name);
    return send_uid(client, kPlayUidList, uid);
}
int32_t kiv_ipod_play_uid_list_sync(kiv_ipod_client *client, const unsigned char *uid) {
    ipod_entry entry(client);
    return kiv_req::wait_discard(client, kiv_ipod_play_uid_list(client, uid), __func__);
}

uint32_t kiv_ipod_request_lingo_version(kiv_ipod_client *client, int32_t lingo) {
    fprintf(stderr, "%s, lingo=0x%02X\n", kRequestLingoVersion.name, static_cast<unsigned>(lingo));
    return send_ints(client, kRequestLingoVersion, Shape::kInt, {lingo});
}
int32_t kiv_ipod_request_lingo_version_sync(kiv_ipod_client *client, int32_t lingo) {
    ipod_entry entry(client);
    return kiv_req::wait_parsed(client, kiv_ipod_request_lingo_version(client, lingo), __func__,
                                set_lingo_version);
}

uint32_t kiv_ipod_set_current_playing_track_chapter(kiv_ipod_client *client, int32_t index) {
    kv_debug("%s, index=%d\n", kSetCurrentPlayingTrackChapter.name, index);
    return send_ints(client, kSetCurrentPlayingTrackChapter, Shape::kInt, {index});
}

uint32_t kiv_ipod_set_current_playing_track(kiv_ipod_client *client, int32_t index) {
    kv_debug("%s, index=%d\n", kSetCurrentPlayingTrack.name, index);
    return send_ints(client, kSetCurrentPlayingTrack, Shape::kInt, {index});
}

uint32_t kiv_ipod_set_available_current(kiv_ipod_client *client, int32_t value) {
    return send_ints(client, kSetAvailableCurrent, Shape::kInt, {value});
}
int32_t kiv_ipod_set_available_current_sync(kiv_ipod_client *client, int32_t value) {
    ipod_entry entry(client);
    return kiv_req::wait_discard(client, kiv_ipod_set_available_current(client, value), __func__);
}

uint32_t kiv_ipod_get_artwork_data(kiv_ipod_client *client, const unsigned char *uid) {
    kv_debug("%s\n", kGetArtworkData.name);
    fprintf(stderr, "%s\n", kGetArtworkData.name);
    return send_uid(client, kGetArtworkData, uid);
}
int32_t kiv_ipod_get_artwork_data_sync(kiv_ipod_client *client, const unsigned char *uid) {
    ipod_entry entry(client);
    const char *name = "kiv_ipod_get_artwork_data_sync";
    kv_debug("%s\n", name);
    fprintf(stderr, "%s\n", name);
    return kiv_req::wait_discard(client, kiv_ipod_get_artwork_data(client, uid), __func__);
}

}  // extern "C"
