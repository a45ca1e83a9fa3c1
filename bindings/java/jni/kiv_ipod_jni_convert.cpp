// Conversions of the JNI glue (kiv_ipod_jni.h) and the requests with
// selectors from 30 on. Called on the binding's loop thread only.
#include <stdlib.h>
#include <string.h>

#include "kiv_ipod_jni.h"

namespace kivjni {

// Decodes n bytes of UTF-8 into UTF-16 at out (room for n units: a byte
// yields at most one unit, four bytes two). Each maximal ill-formed part (a
// bad lead byte, or a lead byte with the valid continuation bytes that
// follow it before the sequence breaks, or an encoded surrogate) becomes one
// U+FFFD, as Java's own decoder does. Returns the count.
size_t decode_utf8(const unsigned char *s, size_t n, jchar *out) {
    size_t len = 0;
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        if (c < 0x80) {
            out[len++] = static_cast<jchar>(c);
            i++;
            continue;
        }
        unsigned need = 0, lo = 0x80, hi = 0xBF;  // bounds of the second byte
        uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2, cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;  // no overlong form
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3, cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;  // no overlong form
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        }
        size_t k = 1;
        for (; need && k <= need && i + k < n; k++) {
            unsigned b = s[i + k];
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) break;
            cp = (cp << 6) | (b & 0x3F);
        }
        // An encoded surrogate (ED A0..BF ..) is one ill-formed part, as
        // Java reads it.
        if (need == 0 || k <= need || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out[len++] = 0xFFFD;
            i += k;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[len++] = static_cast<jchar>(0xD800 + (cp >> 10));
            out[len++] = static_cast<jchar>(0xDC00 + (cp & 0x3FF));
        } else {
            out[len++] = static_cast<jchar>(cp);
        }
        i += k;
    }
    return len;
}

jstring to_jstring(JNIEnv *env, const unsigned char *bytes, size_t n) {
    jchar stack_buf[256] = {};  // zeroed: the compiler cannot see decode_utf8 fill it
    jchar *out = n <= 256 ? stack_buf : static_cast<jchar *>(malloc(n * sizeof(jchar)));
    if (!out) return nullptr;
    jstring result = env->NewString(out, static_cast<jsize>(decode_utf8(bytes, n, out)));
    if (out != stack_buf) free(out);
    return result;
}

// Java strings from the daemon's texts, decoded by decode_utf8 rather than
// NewStringUTF, which requires well-formed modified UTF-8: the daemon is not
// trusted.
jstring to_jstring(JNIEnv *env, const char *text) {
    if (!text) return nullptr;
    return to_jstring(env, reinterpret_cast<const unsigned char *>(text), strlen(text));
}

jbyteArray to_jbytes(JNIEnv *env, const void *data, size_t length) {
    if (!data || length > static_cast<size_t>(INT32_MAX)) return nullptr;
    jbyteArray array = env->NewByteArray(static_cast<jsize>(length));
    if (array && length > 0)
        env->SetByteArrayRegion(array, 0, static_cast<jsize>(length), static_cast<const jbyte *>(data));
    return array;
}

// A copy of a Java byte array as a NUL-terminated text; null for a null
// array, for one that holds a NUL, or when memory runs out (*kind says
// which).
char *text_arg(JNIEnv *env, jbyteArray data, kiv_ipod_error_kind *kind) {
    if (!data) return nullptr;
    jsize n = env->GetArrayLength(data);
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (!copy) {
        *kind = KIV_IPOD_ERROR_NO_MEMORY;
        return nullptr;
    }
    env->GetByteArrayRegion(data, 0, n, reinterpret_cast<jbyte *>(copy));
    copy[n] = 0;
    if (memchr(copy, 0, static_cast<size_t>(n)) != nullptr) {
        free(copy);
        *kind = KIV_IPOD_ERROR_INVALID_ARGUMENT;
        return nullptr;
    }
    return copy;
}

jobject to_java(JNIEnv *env, const serialize_value *v);

// The elements of an array as an Object[]; the entries of a hash as an
// Object[][] {keys, values} (Java tells the two apart by the array class).
jobject container_to_java(JNIEnv *env, const serialize_value *v) {
    jclass object_class = env->FindClass("java/lang/Object");
    if (!object_class) return nullptr;
    jint n = 0;
    if (v->type == SERIALIZE_ARRAY) {
        for (auto *c = static_cast<const serialize_array_cell *>(v->data); c; c = c->next)
            n += c->value != nullptr;
    } else {
        for (auto *e = static_cast<const serialize_hash_entry *>(v->data); e; e = e->next)
            n += e->key != nullptr && e->value != nullptr;
    }
    jobjectArray values = env->NewObjectArray(n, object_class, nullptr);
    jobjectArray keys =
        values && v->type == SERIALIZE_HASH ? env->NewObjectArray(n, object_class, nullptr) : nullptr;
    jint i = 0;
    if (values && v->type == SERIALIZE_ARRAY) {
        for (auto *c = static_cast<const serialize_array_cell *>(v->data); c && !env->ExceptionCheck();
             c = c->next) {
            if (!c->value) continue;
            jobject o = to_java(env, c->value);
            if (!env->ExceptionCheck()) env->SetObjectArrayElement(values, i++, o);
            env->DeleteLocalRef(o);
        }
    } else if (keys) {
        for (auto *e = static_cast<const serialize_hash_entry *>(v->data); e && !env->ExceptionCheck();
             e = e->next) {
            if (!e->key || !e->value) continue;
            jobject k = to_jstring(env, e->key);
            jobject o = env->ExceptionCheck() ? nullptr : to_java(env, e->value);
            if (!env->ExceptionCheck()) {
                env->SetObjectArrayElement(keys, i, k);
                env->SetObjectArrayElement(values, i++, o);
            }
            env->DeleteLocalRef(k);
            env->DeleteLocalRef(o);
        }
    }
    jobject out = values;
    if (keys && !env->ExceptionCheck()) {
        jclass pair_class = env->GetObjectClass(values);  // Object[]
        jobjectArray pair = pair_class ? env->NewObjectArray(2, pair_class, nullptr) : nullptr;
        if (pair) {
            env->SetObjectArrayElement(pair, 0, keys);
            env->SetObjectArrayElement(pair, 1, values);
        }
        env->DeleteLocalRef(pair_class);
        env->DeleteLocalRef(values);
        out = pair;
    }
    env->DeleteLocalRef(keys);
    env->DeleteLocalRef(object_class);
    return env->ExceptionCheck() ? nullptr : out;
}

// A value tree as Java objects: Integer, Float, String, byte[], Object[]
// (array) or Object[][] (hash); null for none. The tree's depth is bounded
// by the decoder (256), and each level holds a few local references only.
jobject to_java(JNIEnv *env, const serialize_value *v) {
    if (!v || env->PushLocalFrame(16) != 0) return nullptr;
    jobject out = nullptr;
    switch (v->type) {
        case SERIALIZE_INT: {
            jclass k = env->FindClass("java/lang/Integer");
            jmethodID m = k ? env->GetStaticMethodID(k, "valueOf", "(I)Ljava/lang/Integer;") : nullptr;
            if (m) out = env->CallStaticObjectMethod(k, m, static_cast<jint>(serialize_get_int(v)));
            break;
        }
        case SERIALIZE_FLOAT: {
            jclass k = env->FindClass("java/lang/Float");
            jmethodID m = k ? env->GetStaticMethodID(k, "valueOf", "(F)Ljava/lang/Float;") : nullptr;
            if (m) out = env->CallStaticObjectMethod(k, m, static_cast<jfloat>(serialize_get_float(v)));
            break;
        }
        case SERIALIZE_STRING:
            out = to_jstring(
                env, static_cast<const unsigned char *>(v->data),
                v->data ? strnlen(static_cast<const char *>(v->data), static_cast<size_t>(v->length)) : 0);
            break;
        case SERIALIZE_BYTES: {
            int32_t n = 0;
            const void *bytes = serialize_get_bytes(v, &n);
            out = to_jbytes(env, bytes ? bytes : "", bytes ? static_cast<size_t>(n) : 0);
            break;
        }
        case SERIALIZE_ARRAY:
        case SERIALIZE_HASH:
            out = container_to_java(env, v);
            break;
        default:
            break;
    }
    if (env->ExceptionCheck()) out = nullptr;
    return env->PopLocalFrame(out);
}

// Request selectors from 30 on (REQ_ constants of Native.java).
uint32_t more_requests(kiv_ipod_client *c, jint op, jint a, jint x, jint y) {
    switch (op) {
        case 30:
            return kiv_ipod_reauthentication(c, a);
        case 31:
            return kiv_ipod_set_statechange(c, a);
        case 32:
            return kiv_ipod_enter_videooutmode(c);
        case 33:
            return kiv_ipod_exit_videooutmode(c);
        case 34:
            return kiv_ipod_get_videooutoptions(c, a);
        case 35:
            return kiv_ipod_set_videooutoptions(c, a);
        case 36:
            return kiv_ipod_navigate_videoout(c, a);
        case 37:
            return kiv_ipod_get_mode(c);
        case 38:
            return kiv_ipod_get_db_itunes_info(c, a);
        case 39:
            return kiv_ipod_get_db_track_info(c, a, x, y);
        case 40:
            return kiv_ipod_get_pb_track_info(c, a, x, y);
        case 41:
            return kiv_ipod_set_current_playing_track_chapter(c, a);
        case 42:
            return kiv_ipod_set_available_current(c, a);
        case 43:
            return kiv_ipod_restart_idps(c, a);
        case 44:
            return kiv_ipod_write_tag(c);
        case 45:
            return kiv_ipod_indexed_track_chapter_info(c, a, x);
        default:
            return 0;
    }
}

// Cache accessors by the selectors of Native.java (T_ and N_ constants).
const char *text(kiv_ipod_client *c, jint which, jint i) {
    switch (which) {
        case 0:
            return kiv_ipod_current_track_title(c);
        case 1:
            return kiv_ipod_current_track_artist(c);
        case 2:
            return kiv_ipod_current_track_album(c);
        case 3:
            return kiv_ipod_current_track_composer(c);
        case 4:
            return kiv_ipod_current_track_genre(c);
        case 5:
            return kiv_ipod_current_track_chapter(c);
        case 6:
            return kiv_ipod_indexed_track_title(c);
        case 7:
            return kiv_ipod_indexed_track_artist(c);
        case 8:
            return kiv_ipod_indexed_track_album(c);
        case 9:
            return kiv_ipod_get_result_lingo_version(c);
        case 10:
            return kiv_ipod_device_serial(c, i);
        case 11:
            return kiv_ipod_device_name(c, i);
        case 12:
            return kiv_ipod_software_version(c, i);
        case 13:
            return kiv_ipod_last_error(c);
        default:
            return nullptr;
    }
}

int number(kiv_ipod_client *c, jint which, jint i) {
    switch (which) {
        case 0:
            return kiv_ipod_current_number_of_tracks(c);
        case 1:
            return kiv_ipod_current_track_index(c);
        case 2:
            return kiv_ipod_current_chapter_index(c);
        case 3:
            return kiv_ipod_current_chapter_count(c);
        case 4:
            return kiv_ipod_current_track_length(c);
        case 5:
            return kiv_ipod_current_track_position(c);
        case 6:
            return kiv_ipod_current_track_state(c);
        case 7:
            return kiv_ipod_current_track_has_artwork(c);
        case 8:
            return kiv_ipod_current_track_has_chapters(c);
        case 9:
            return kiv_ipod_current_track_is_audiobook(c);
        case 10:
            return kiv_ipod_current_track_is_podcast(c);
        case 11:
            return kiv_ipod_current_sample_rate(c);
        case 12:
            return kiv_ipod_current_shuffle_state(c);
        case 13:
            return kiv_ipod_current_repeat_state(c);
        case 14:
            return kiv_ipod_indexed_track_length(c);
        case 15:
            return kiv_ipod_indexed_track_chapter_count(c);
        case 16:
            return kiv_ipod_indexed_track_is_audiobook(c);
        case 17:
            return kiv_ipod_indexed_track_is_podcast(c);
        case 18:
            return kiv_ipod_current_track_artwork_width(c);
        case 19:
            return kiv_ipod_current_track_artwork_height(c);
        case 20:
            return kiv_ipod_current_track_artwork_rowstride(c);
        case 21:
            return kiv_ipod_record_count(c);
        case 22:
            return kiv_ipod_is_ready(c);
        case 23:
            return kiv_ipod_is_session_opened(c);
        case 24:
            return kiv_ipod_device_count(c);
        case 25:
            return kiv_ipod_current_session(c);
        case 26:
            return kiv_ipod_pid(c);
        case 27:
            return kiv_ipod_fd(c);
        case 28:
            return kiv_ipod_device_audio_count(c, i);
        case 29:
            return kiv_ipod_device_support_itunes_db(c, i);
        case 30:
            return kiv_ipod_device_ready(c, i);
        case 31:
            return kiv_ipod_device_is_extended(c, i);
        case 32:
            return kiv_ipod_device_authenticated(c, i);
        case 33:
            return kiv_ipod_device_product_id(c, i);
        case 34:
            return kiv_ipod_device_type(c, i);
        case 35:
            return kiv_ipod_current_track_timestamp(c);
        case 36:
            return kiv_ipod_get_result_db_itunes_info_count(c);
        case 37:
            return static_cast<int>(kiv_ipod_last_error_kind(c));
        default:
            return -1;
    }
}

}  // namespace kivjni
