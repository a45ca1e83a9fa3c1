package com.kiv.ipod;

/** Work that a {@link ClientCore} runs on its loop thread with the binding pointer. */
abstract class LoopTask {
    abstract void run(long binding);

    abstract void fail(IPodException e);

    /** True once nothing is left to do (completed, failed or timed out). */
    boolean done() {
        return false;
    }
}
