package com.kiv.ipod;

/** Work run on the loop thread of a {@link ClientCore} with the binding pointer. */
interface LoopWork<T> {
    T run(long binding) throws IPodException;
}
