package com.kiv.ipod;

/** Decodes a reply, on the loop thread, from the caches it just filled. */
interface Decoder<T> {
    T decode(long binding, int result) throws IPodException;
}
