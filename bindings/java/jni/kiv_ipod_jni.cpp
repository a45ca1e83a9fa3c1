// JNI glue of the Java binding (package com.kiv.ipod).
//
// Every native method of com.kiv.ipod.Native is called from the binding's
// loop thread only, so one kiv_ipod_client is only ever used from that
// thread; wake() is the exception and touches nothing but an eventfd.
//
// The library's callbacks run inside kiv_ipod_read(). read() stores its
// JNIEnv and the calling Java object in the binding for the length of the
// call, so a callback always calls Java on the attached thread that made the
// call, through local references of that call: the glue keeps no global
// reference to any object. A callback that arrives outside read() (there is
// none today) is dropped rather than calling Java from an unknown thread.
// After every call into Java the glue checks for an exception; once one is
// pending it makes no further JNI call until read() returns, where Java
// sees it.
#include "kiv_ipod_jni.h"

#include <errno.h>
#include <jni.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "kiv_ipod.h"

namespace {

using namespace kivjni;

struct Binding {
    kiv_ipod_client *client = nullptr;
    int wake_fd = -1;
    JNIEnv *env = nullptr;   // set only during read()
    jobject core = nullptr;  // local reference of the running read() call
    bool exception = false;  // a Java exception is pending in this read()
};

std::atomic<long> g_open_handles{0};  // bindings from connect() not yet closed
jclass g_core_class = nullptr;        // global reference, from JNI_OnLoad to JNI_OnUnload
jmethodID g_on_event = nullptr;
jmethodID g_on_reply = nullptr;
jmethodID g_on_ping = nullptr;

Binding *binding(jlong b) {
    return reinterpret_cast<Binding *>(static_cast<intptr_t>(b));
}

// The Java side of the call in progress, or null when Java must not be
// called (no read() running, or an exception already pending).
JNIEnv *java_for(Binding *b) {
    if (!b || !b->env || !b->core || b->exception) return nullptr;
    return b->env;
}

void after_call(Binding *b, JNIEnv *env) {
    if (env->ExceptionCheck()) b->exception = true;
}

int on_event(kiv_ipod_client *, kiv_ipod_event *event, void *data) {
    Binding *b = static_cast<Binding *>(data);
    JNIEnv *env = java_for(b);
    if (!env || env->PushLocalFrame(8) != 0) {
        if (env) b->exception = true;
        return 0;
    }
    int type = kiv_ipod_event_type(event);
    const char *serial = nullptr;
    if (type == KIV_IPOD_EVENT_DISCONNECTED)
        serial = kiv_ipod_event_disconnected_serial(event);
    else if (is_connection_event(event))
        serial = kiv_ipod_event_connected_serial(event);
    int authenticated = type == KIV_IPOD_EVENT_AUTHENTICATED ? kiv_ipod_event_authenticated(event) : -1;
    int extended = type == KIV_IPOD_EVENT_MODE_CHANGED ? kiv_ipod_event_mode_changed(event) : -1;
    bool eap = type == KIV_IPOD_EVENT_EAP_SESSION_OPENED || type == KIV_IPOD_EVENT_EAP_SESSION_CLOSED ||
               type == KIV_IPOD_EVENT_EAP_DATA_RECEIVED;
    int session = eap ? kiv_ipod_event_eap_datagram_session_id(event) : -1;
    int protocol_index = -1;
    const char *protocol = nullptr;
    if (type == KIV_IPOD_EVENT_EAP_SESSION_OPENED) {
        protocol_index = kiv_ipod_event_eap_datagram_protocol_index(event);
        protocol = kiv_ipod_event_eap_datagram_protocol_string(event);
    }
    const unsigned char *bytes = nullptr;
    int length = 0;
    if (type == KIV_IPOD_EVENT_EAP_DATA_RECEIVED) {
        length = kiv_ipod_event_eap_datagram_data_length(event);
        bytes = length >= 0 ? kiv_ipod_event_eap_datagram_data(event) : nullptr;
    }
    // Media events carry one integer (play status code, track index,
    // position, sample rate, shuffle or repeat mode).
    const serialize_value *value = kiv_ipod_event_data(event);
    jboolean has_value = serialize_type(value) == SERIALIZE_INT ? JNI_TRUE : JNI_FALSE;
    jint number = has_value ? serialize_get_int(value) : 0;
    jstring jdevice = to_jstring(env, kiv_ipod_event_device_serial(event));
    jstring jserial = env->ExceptionCheck() ? nullptr : to_jstring(env, serial);
    jstring jprotocol = env->ExceptionCheck() ? nullptr : to_jstring(env, protocol);
    jbyteArray jdata = env->ExceptionCheck() ? nullptr : to_jbytes(env, bytes, bytes ? length : 0);
    if (!env->ExceptionCheck())
        env->CallVoidMethod(b->core, g_on_event, type, jdevice, jserial, authenticated, extended, session,
                            protocol_index, jprotocol, jdata, has_value, number);
    after_call(b, env);
    env->PopLocalFrame(nullptr);
    return 0;
}

int on_reply(kiv_ipod_client *client, uint32_t tid, int32_t result, const char *text, void *data) {
    Binding *b = static_cast<Binding *>(data);
    JNIEnv *env = java_for(b);
    if (!env || env->PushLocalFrame(4) != 0) {
        if (env) b->exception = true;
        return 0;
    }
    // Routed replies pass no text; the handle's last error then says whether
    // this reply carried an error (it is cleared before each reply).
    if (!text) text = kiv_ipod_last_error(client);
    // The kind is not cleared before a reply: besides an error text, only a
    // limit that refused this reply sets it, so only that is passed on.
    kiv_ipod_error_kind kind = kiv_ipod_last_error_kind(client);
    if (text) kind = KIV_IPOD_ERROR_DAEMON;
    if (kind != KIV_IPOD_ERROR_DAEMON && kind != KIV_IPOD_ERROR_LIMIT) kind = KIV_IPOD_ERROR_NONE;
    jstring jtext = to_jstring(env, text);
    if (!env->ExceptionCheck())
        env->CallVoidMethod(b->core, g_on_reply, static_cast<jlong>(tid), static_cast<jint>(result),
                            static_cast<jint>(kind), jtext);
    after_call(b, env);
    env->PopLocalFrame(nullptr);
    return 0;
}

int on_ping(kiv_ipod_client *, uint32_t tid, void *data) {
    Binding *b = static_cast<Binding *>(data);
    JNIEnv *env = java_for(b);
    if (!env) return 0;
    env->CallVoidMethod(b->core, g_on_ping, static_cast<jlong>(tid));
    after_call(b, env);
    return 0;
}

// Request selectors: the numbers of Native.java's REQ_ constants.
uint32_t request(kiv_ipod_client *c, jint op, jint a, jint x, jint y) {
    switch (op) {
        case 0:
            return kiv_ipod_ping(c);
        case 1:
            return kiv_ipod_play(c);
        case 2:
            return kiv_ipod_stop(c);
        case 3:
            return kiv_ipod_pause(c);
        case 4:
            return kiv_ipod_next_track(c);
        case 5:
            return kiv_ipod_prev_track(c);
        case 6:
            return kiv_ipod_start_ffw(c);
        case 7:
            return kiv_ipod_start_rew(c);
        case 8:
            return kiv_ipod_stop_ffwrew(c);
        case 9:
            return kiv_ipod_set_position(c, a);
        case 10:
            return kiv_ipod_current_track_info(c);
        case 11:
            return kiv_ipod_get_play_state(c);
        case 12:
            return kiv_ipod_get_current_track_index(c);
        case 13:
            return kiv_ipod_set_shuffle(c, a);
        case 14:
            return kiv_ipod_get_shuffle(c);
        case 15:
            return kiv_ipod_set_repeat(c, a);
        case 16:
            return kiv_ipod_get_repeat(c);
        case 17:
            return kiv_ipod_current_track_artwork(c, a);
        case 18:
            return kiv_ipod_set_category(c, a);
        case 19:
            return kiv_ipod_set_hierarchy(c, a);
        case 20:
            return kiv_ipod_select_db(c, a, x);
        case 21:
            return kiv_ipod_get_records(c, a, x);
        case 22:
            return kiv_ipod_indexed_track_info(c, a);
        case 23:
            return kiv_ipod_request_lingo_version(c, a);
        case 24:
            return kiv_ipod_open_session(c, a);
        case 25:
            return kiv_ipod_close_session(c);
        case 26:
            return kiv_ipod_set_preference(c, a, static_cast<uint32_t>(x));
        case 27:
            return kiv_ipod_get_preference(c, a);
        case 28:
            return kiv_ipod_set_current_playing_track(c, a);
        case 29:
            return kiv_ipod_get_sample_rate(c);
        default:
            return more_requests(c, op, a, x, y);
    }
}

// A failure as a native method returns it: the negated kind (0 for none
// known), which no transaction id and no binding pointer (zero-extended)
// can be.
jlong failed(kiv_ipod_error_kind kind) {
    return -static_cast<jlong>(kind);
}

// What a request call returns to Java: its transaction id, or, for 0, the
// kind of the failure, read at once on the thread that made the call.
jlong sent(kiv_ipod_client *c, uint32_t tid) {
    return tid != 0 ? static_cast<jlong>(tid) : failed(kiv_ipod_last_error_kind(c));
}

// --- native methods of com.kiv.ipod.Native ---

// The binding pointer, or a failure (failed()). When the daemon answered
// the opening request with an error, its text goes to why[0] and the kind
// is DAEMON; a daemon that cannot be reached is NOT_CONNECTED.
jlong native_connect(JNIEnv *env, jclass, jobjectArray why) {
    Binding *b = new (std::nothrow) Binding;
    if (!b) return failed(KIV_IPOD_ERROR_NO_MEMORY);
    b->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (b->wake_fd < 0) {
        const bool no_room = errno == EMFILE || errno == ENFILE;
        delete b;
        return failed(no_room ? KIV_IPOD_ERROR_LIMIT : KIV_IPOD_ERROR_NO_MEMORY);
    }
    b->client = kiv_ipod_connect();
    if (b->client && kiv_ipod_fd(b->client) < 0) {
        // The daemon closed the connection before answering the opening
        // request: no connection, as when it cannot be reached.
        kiv_ipod_close(b->client);
        close(b->wake_fd);
        delete b;
        return failed(KIV_IPOD_ERROR_NOT_CONNECTED);
    }
    if (!b->client) {
        close(b->wake_fd);
        delete b;
        const char *refusal = kiv_ipod_connect_error();
        if (!refusal) return failed(KIV_IPOD_ERROR_NOT_CONNECTED);
        jstring text = to_jstring(env, refusal);
        if (text && why && env->GetArrayLength(why) > 0) env->SetObjectArrayElement(why, 0, text);
        return failed(KIV_IPOD_ERROR_DAEMON);
    }
    kiv_ipod_set_event_cb(b->client, on_event, b);
    kiv_ipod_set_reply_cb(b->client, on_reply, b);
    kiv_ipod_set_ping_cb(b->client, on_ping, b);
    g_open_handles++;
    return static_cast<jlong>(reinterpret_cast<uintptr_t>(b));
}

void native_close(JNIEnv *, jclass, jlong handle) {
    Binding *b = binding(handle);
    if (!b) return;
    kiv_ipod_close(b->client);
    close(b->wake_fd);
    delete b;
    g_open_handles--;
}

// Waits until the daemon's socket is readable (bit 1), wake() was called
// (bit 2), or timeout_ms passed (negative: no bound). The socket's hang-up
// or error counts as readable: read() then reports it.
jint native_poll(JNIEnv *, jclass, jlong handle, jint timeout_ms) {
    Binding *b = binding(handle);
    struct pollfd fds[2] = {{kiv_ipod_fd(b->client), POLLIN, 0}, {b->wake_fd, POLLIN, 0}};
    int n = poll(fds, 2, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0) return errno == EINTR ? 0 : 1;
    jint result = 0;
    if (fds[0].fd < 0 || (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) result |= 1;
    if (fds[1].revents & POLLIN) {
        uint64_t count;
        while (read(b->wake_fd, &count, sizeof count) > 0) {
        }
        result |= 2;
    }
    return result;
}

void native_wake(JNIEnv *, jclass, jlong handle) {
    Binding *b = binding(handle);
    uint64_t one = 1;
    ssize_t ignored = write(b->wake_fd, &one, sizeof one);
    (void)ignored;
}

jint native_read(JNIEnv *env, jclass, jlong handle, jobject core) {
    Binding *b = binding(handle);
    if (kiv_ipod_fd(b->client) < 0) return -1;
    // Saved and restored, so that a read() nested in a Java call made from a
    // callback gives the outer call back its own frame.
    JNIEnv *saved_env = b->env;
    jobject saved_core = b->core;
    b->env = env;
    b->core = core;
    b->exception = false;
    jint n = kiv_ipod_read(b->client);
    b->env = saved_env;
    b->core = saved_core;
    b->exception = false;
    return n;
}

// The transaction id, or a failure (failed()).
jlong native_request(JNIEnv *, jclass, jlong handle, jint op, jint a, jint x, jint y) {
    kiv_ipod_client *c = binding(handle)->client;
    return sent(c, request(c, op, a, x, y));
}

// Requests with a byte argument: 0 launch application (name), 1 EAP
// datagram on session a, 2 a piece of a uid list (cur a, max x), 3 play a
// uid list, 4 artwork data of a uid (8 bytes each). The transaction id, or
// a failure (failed()).
jlong native_request_data(JNIEnv *env, jclass, jlong handle, jint op, jint a, jint x, jbyteArray data) {
    kiv_ipod_client *c = binding(handle)->client;
    if (!data) return failed(KIV_IPOD_ERROR_INVALID_ARGUMENT);
    jsize n = env->GetArrayLength(data);
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (!copy) return failed(KIV_IPOD_ERROR_NO_MEMORY);
    env->GetByteArrayRegion(data, 0, n, reinterpret_cast<jbyte *>(copy));
    copy[n] = 0;
    jlong result = failed(KIV_IPOD_ERROR_INVALID_ARGUMENT);  // a name with a NUL, an unknown op
    if (op == 0 && memchr(copy, 0, static_cast<size_t>(n)) == nullptr)
        result = sent(c, kiv_ipod_launch_application(c, copy));
    else if (op == 1)
        result = sent(c, kiv_ipod_send_eap_datagram(c, a, copy, n));
    else if (op == 2)
        result = sent(c, kiv_ipod_prepare_uid_list(c, a, x, n, copy));
    else if ((op == 3 || op == 4) && n == 8)
        result = sent(c, op == 3 ? kiv_ipod_play_uid_list(c, reinterpret_cast<unsigned char *>(copy))
                                 : kiv_ipod_get_artwork_data(c, reinterpret_cast<unsigned char *>(copy)));
    free(copy);
    return result;
}

// Requests with texts (UTF-8, no NUL): 0 configuration entry (s1, s2),
// 1 Bluetooth hardware information (device class a, pairing type x, PIN
// code s1, address s2), 2 Bluetooth state (connected a, serial s1). The
// transaction id, or a failure (failed()).
jlong native_request_texts(JNIEnv *env, jclass, jlong handle, jint op, jint a, jint x, jbyteArray t1,
                           jbyteArray t2) {
    kiv_ipod_client *c = binding(handle)->client;
    kiv_ipod_error_kind kind = KIV_IPOD_ERROR_INVALID_ARGUMENT;
    char *s1 = text_arg(env, t1, &kind);
    char *s2 = s1 && t2 ? text_arg(env, t2, &kind) : nullptr;
    jlong result = failed(kind);
    if (s1 && s2 && op == 0)
        result = sent(c, kiv_ipod_set_config(c, s1, s2));
    else if (s1 && s2 && op == 1)
        result = sent(c, kiv_ipod_set_bluetooth_hw_info(c, static_cast<uint32_t>(a), x, s1, s2));
    else if (s1 && !t2 && op == 2)
        result = sent(c, kiv_ipod_set_bluetooth_state(c, a, s1));
    free(s1);
    free(s2);
    return result;
}

// 0 database track list, 1 playback track list, 2 chapter information,
// 3 indexed track information: the cached value as Java objects, or null.
jobject native_value(JNIEnv *env, jclass, jlong handle, jint which) {
    kiv_ipod_client *c = binding(handle)->client;
    switch (which) {
        case 0:
            return to_java(env, kiv_ipod_get_result_db_track_info(c));
        case 1:
            return to_java(env, kiv_ipod_get_result_pb_track_info(c));
        case 2:
            return to_java(env, kiv_ipod_get_result_indexed_track_chapter_info(c));
        case 3:
            return to_java(env, kiv_ipod_get_result_indexed_track_info(c));
        default:
            return nullptr;
    }
}

// kiv_ipod_health_examine() with a text (no NUL): the reply as Java
// objects, null for none; blocks within the handle's timeout.
jobject native_health_examine(JNIEnv *env, jclass, jlong handle, jbyteArray text) {
    kiv_ipod_client *c = binding(handle)->client;
    kiv_ipod_error_kind kind = KIV_IPOD_ERROR_INVALID_ARGUMENT;
    char *s = text_arg(env, text, &kind);
    if (!s) return nullptr;
    serialize_value *reply = kiv_ipod_health_examine(c, s, nullptr);
    free(s);
    jobject out = to_java(env, reply);
    serialize_free(reply);
    return out;
}

jstring native_text(JNIEnv *env, jclass, jlong handle, jint which, jint index) {
    return to_jstring(env, text(binding(handle)->client, which, index));
}

jint native_number(JNIEnv *, jclass, jlong handle, jint which, jint index) {
    return number(binding(handle)->client, which, index);
}

// 0 current track uid, 1 indexed track uid (8 bytes each), 2 artwork
// pixels (rowstride x height bytes), 3 database uid (8 bytes).
jbyteArray native_bytes(JNIEnv *env, jclass, jlong handle, jint which) {
    kiv_ipod_client *c = binding(handle)->client;
    switch (which) {
        case 0:
            return to_jbytes(env, kiv_ipod_current_track_uid(c), 8);
        case 1:
            return to_jbytes(env, kiv_ipod_indexed_track_uid(c), 8);
        case 2:
            return to_jbytes(env, kiv_ipod_current_track_artwork_data(c),
                             kiv_ipod_current_track_artwork_length(c));
        case 3:
            return to_jbytes(env, kiv_ipod_get_result_db_device_uid(c), 8);
        case 4:
            return to_jbytes(env, kiv_ipod_get_result_db_last_sync_time(c), 7);
        default:
            return nullptr;
    }
}

// The record texts of the last records reply (array: unused, result, first
// index, count, texts), in order; null before any.
jobjectArray native_records(JNIEnv *env, jclass, jlong handle) {
    const serialize_value *records = kiv_ipod_records(binding(handle)->client);
    if (!records) return nullptr;
    int32_t count = serialize_array_count(records) - 4;
    if (count < 0) count = 0;
    jclass string_class = env->FindClass("java/lang/String");
    if (!string_class) return nullptr;
    jobjectArray out = env->NewObjectArray(count, string_class, nullptr);
    env->DeleteLocalRef(string_class);
    for (int32_t i = 0; out && i < count; i++) {
        jstring s = to_jstring(env, serialize_get_string(serialize_array_get(records, 4 + i)));
        if (env->ExceptionCheck()) return nullptr;
        env->SetObjectArrayElement(out, i, s);
        env->DeleteLocalRef(s);
    }
    return out;
}

// Identifies the records reply in the cache: a records request whose reply
// leaves it unchanged was refused (the reply was no records array).
jlong native_records_token(JNIEnv *, jclass, jlong handle) {
    return static_cast<jlong>(reinterpret_cast<intptr_t>(kiv_ipod_records(binding(handle)->client)));
}

// Bounds the handle's blocking writes (and waits) to timeout_ms; 0: none.
jint native_set_timeout(JNIEnv *, jclass, jlong handle, jint timeout_ms) {
    return kiv_ipod_set_timeout(binding(handle)->client, timeout_ms);
}

// The glue's decoding of texts, for the tests.
jstring native_decode_utf8(JNIEnv *env, jclass, jbyteArray data) {
    jsize n = env->GetArrayLength(data);
    jbyte *bytes = env->GetByteArrayElements(data, nullptr);
    if (!bytes) return nullptr;
    jstring s = to_jstring(env, reinterpret_cast<const unsigned char *>(bytes), static_cast<size_t>(n));
    env->ReleaseByteArrayElements(data, bytes, JNI_ABORT);
    return s;
}

// Native handles connected and not yet closed, in the whole process.
jlong native_open_handles(JNIEnv *, jclass) {
    return g_open_handles.load();
}

const JNINativeMethod kMethods[] = {
    {const_cast<char *>("connect"), const_cast<char *>("([Ljava/lang/String;)J"),
     reinterpret_cast<void *>(native_connect)},
    {const_cast<char *>("close"), const_cast<char *>("(J)V"), reinterpret_cast<void *>(native_close)},
    {const_cast<char *>("poll"), const_cast<char *>("(JI)I"), reinterpret_cast<void *>(native_poll)},
    {const_cast<char *>("wake"), const_cast<char *>("(J)V"), reinterpret_cast<void *>(native_wake)},
    {const_cast<char *>("read"), const_cast<char *>("(JLjava/lang/Object;)I"),
     reinterpret_cast<void *>(native_read)},
    {const_cast<char *>("request"), const_cast<char *>("(JIIII)J"), reinterpret_cast<void *>(native_request)},
    {const_cast<char *>("requestData"), const_cast<char *>("(JIII[B)J"),
     reinterpret_cast<void *>(native_request_data)},
    {const_cast<char *>("requestTexts"), const_cast<char *>("(JIII[B[B)J"),
     reinterpret_cast<void *>(native_request_texts)},
    {const_cast<char *>("value"), const_cast<char *>("(JI)Ljava/lang/Object;"),
     reinterpret_cast<void *>(native_value)},
    {const_cast<char *>("healthExamine"), const_cast<char *>("(J[B)Ljava/lang/Object;"),
     reinterpret_cast<void *>(native_health_examine)},
    {const_cast<char *>("text"), const_cast<char *>("(JII)Ljava/lang/String;"),
     reinterpret_cast<void *>(native_text)},
    {const_cast<char *>("number"), const_cast<char *>("(JII)I"), reinterpret_cast<void *>(native_number)},
    {const_cast<char *>("bytes"), const_cast<char *>("(JI)[B"), reinterpret_cast<void *>(native_bytes)},
    {const_cast<char *>("records"), const_cast<char *>("(J)[Ljava/lang/String;"),
     reinterpret_cast<void *>(native_records)},
    {const_cast<char *>("recordsToken"), const_cast<char *>("(J)J"),
     reinterpret_cast<void *>(native_records_token)},
    {const_cast<char *>("setTimeout"), const_cast<char *>("(JI)I"),
     reinterpret_cast<void *>(native_set_timeout)},
    {const_cast<char *>("decodeUtf8"), const_cast<char *>("([B)Ljava/lang/String;"),
     reinterpret_cast<void *>(native_decode_utf8)},
    {const_cast<char *>("openHandles"), const_cast<char *>("()J"),
     reinterpret_cast<void *>(native_open_handles)},
};

}  // namespace

extern "C" JNIEXPORT jint JNI_OnLoad(JavaVM *vm, void *) {
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) != JNI_OK) return JNI_ERR;
    jclass native_class = env->FindClass("com/kiv/ipod/Native");
    if (!native_class) return JNI_ERR;
    jint registered = env->RegisterNatives(native_class, kMethods, sizeof kMethods / sizeof kMethods[0]);
    env->DeleteLocalRef(native_class);
    if (registered != 0) return JNI_ERR;
    jclass core = env->FindClass("com/kiv/ipod/ClientCore");
    if (!core) return JNI_ERR;
    g_core_class = static_cast<jclass>(env->NewGlobalRef(core));
    env->DeleteLocalRef(core);
    if (!g_core_class) return JNI_ERR;
    g_on_event = env->GetMethodID(g_core_class, "onNativeEvent",
                                  "(ILjava/lang/String;Ljava/lang/String;IIIILjava/lang/String;[BZI)V");
    g_on_reply =
        g_on_event ? env->GetMethodID(g_core_class, "onNativeReply", "(JIILjava/lang/String;)V") : nullptr;
    g_on_ping = g_on_reply ? env->GetMethodID(g_core_class, "onNativePing", "(J)V") : nullptr;
    return g_on_ping ? JNI_VERSION_1_6 : JNI_ERR;
}

extern "C" JNIEXPORT void JNI_OnUnload(JavaVM *vm, void *) {
    JNIEnv *env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void **>(&env), JNI_VERSION_1_6) == JNI_OK && g_core_class)
        env->DeleteGlobalRef(g_core_class);
    g_core_class = nullptr;
}
