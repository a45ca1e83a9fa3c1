/* Compiled as strict C99: the public header must be plain C. */
#include "kiv_ipod.h"

static int on_event(kiv_ipod_client *c, kiv_ipod_event *e, void *d) {
    (void)c;
    (void)d;
    return kiv_ipod_event_type(e);
}

/* The version macros are integer constants; the named numbers are plain
 * C enumerations and macros. */
typedef char version_is_a_number[KIV_IPOD_VERSION_MAJOR >= 0 ? 1 : -1];
static const kiv_ipod_track_state kTrackState = KIV_IPOD_TRACK_STATE_PLAYING;
static const kiv_ipod_wire_play_status kWireStatus = KIV_IPOD_WIRE_STATUS_PLAYING;

int c99_header_check(void);
int c99_header_check(void) {
    serialize_value *v = serialize_hash();
    serialize_hash_add(v, "result", serialize_int(1));
    int32_t len = 0;
    uint8_t *bytes = serialize(v, &len);
    serialize_value *back = unserialize(bytes, len);
    kiv_ipod_event_cb cb = on_event;
    (void)cb;
    serialize_free(back);
    serialize_free(v);
    return len + SERIALIZE_HASH + (int)kTrackState + (int)kWireStatus + KIV_IPOD_CATEGORY_TRACK +
           KIV_IPOD_SHUFFLE_OFF + KIV_IPOD_REPEAT_ALL + KIV_IPOD_PREFERENCE_LINE_OUT + KIV_IPOD_SETTING_NONE +
           KIV_IPOD_LINGO_GENERAL + KIV_IPOD_TIME_UNITS_PER_SECOND + KIV_IPOD_ARTWORK_BYTES_PER_PIXEL;
}
