package com.kiv.ipod;

/** Sends one asynchronous request on the loop thread: the transaction id, or a failure (see {@link Native#failure}). */
interface Sender {
    long send(long binding);
}
