package com.kiv.ipod;

/** The hand-off of a future's completion to the executor. */
final class Completion implements Runnable {
    private final Runnable completion;

    Completion(Runnable completion) {
        this.completion = completion;
    }

    @Override
    public void run() {
        completion.run();
    }
}
