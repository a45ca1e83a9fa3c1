// Conversions of the JNI glue between the library's data and Java objects,
// and the requests with selectors from 30 on (kiv_ipod_jni_convert.cpp).
#ifndef KIV_IPOD_JNI_H
#define KIV_IPOD_JNI_H

#include <jni.h>
#include <stddef.h>
#include <stdint.h>

#include "kiv_ipod.h"

namespace kivjni {

// Decodes n bytes of UTF-8 into UTF-16 at out (room for n units); the count.
size_t decode_utf8(const unsigned char *s, size_t n, jchar *out);
// A Java string of n bytes of UTF-8 (ill-formed parts as U+FFFD).
jstring to_jstring(JNIEnv *env, const unsigned char *bytes, size_t n);
// A Java string of a NUL-terminated text; null for null.
jstring to_jstring(JNIEnv *env, const char *text);
// A Java byte array of length bytes; null for null data.
jbyteArray to_jbytes(JNIEnv *env, const void *data, size_t length);
// A NUL-terminated copy of a Java byte array (release with free()); null
// for a null array, one that holds a NUL, or no memory (*kind says which).
char *text_arg(JNIEnv *env, jbyteArray data, kiv_ipod_error_kind *kind);
// A value tree as Java objects (see the definition).
jobject to_java(JNIEnv *env, const serialize_value *v);
// The requests with selectors from 30 on; the transaction id or 0.
uint32_t more_requests(kiv_ipod_client *c, jint op, jint a, jint x, jint y);

// The cached text of selector which (T_ constants), or null.
const char *text(kiv_ipod_client *c, jint which, jint i);
// The cached number of selector which (N_ constants), or -1.
int number(kiv_ipod_client *c, jint which, jint i);

}  // namespace kivjni

#endif
