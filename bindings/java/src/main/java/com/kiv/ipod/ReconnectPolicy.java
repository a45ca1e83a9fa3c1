package com.kiv.ipod;

import java.time.Duration;

/**
 * Whether and how an {@link IPodClient} reconnects when the daemon goes
 * away (an extension of the binding: the native library itself never
 * reconnects). Immutable.
 *
 * <p>With a policy from {@link #backoff()}, a lost connection is retried
 * at once, then after the initial back-off, which doubles after each failed
 * attempt up to the maximum delay (2 s unless configured). A new connection
 * gets the client's timeout, re-opens the session on the device with the
 * same serial number when one was open, and calls
 * {@link IPodListener#onConnectionRestored}. While disconnected, every
 * request fails at once with {@link IPodException.Kind#NOT_CONNECTED}.
 * {@link IPodClient#close()} stops the retries at any moment.
 *
 * <p>The native library bounds its opening handshake only by the
 * environment variable {@code KIV_IPOD_TIMEOUT_MS}: set it in the process
 * environment so that a daemon that accepts connections without answering
 * them cannot hold a retry.
 */
public final class ReconnectPolicy {
    private static final ReconnectPolicy OFF = new ReconnectPolicy(false, Duration.ZERO, Duration.ZERO);
    /** The default initial back-off: 100 ms. */
    public static final Duration DEFAULT_INITIAL_BACKOFF = Duration.ofMillis(100);
    /** The default bound of the delay between two attempts: 2 s. */
    public static final Duration DEFAULT_MAX_DELAY = Duration.ofSeconds(2);

    private final boolean enabled;
    private final Duration initialBackoff, maxDelay;

    private ReconnectPolicy(boolean enabled, Duration initialBackoff, Duration maxDelay) {
        this.enabled = enabled;
        this.initialBackoff = initialBackoff;
        this.maxDelay = maxDelay;
    }

    /**
     * No reconnection, the default: a lost connection ends the client.
     *
     * @return the policy
     */
    public static ReconnectPolicy off() {
        return OFF;
    }

    /**
     * Reconnection with the default delays ({@link #DEFAULT_INITIAL_BACKOFF},
     * {@link #DEFAULT_MAX_DELAY}).
     *
     * @return the policy
     */
    public static ReconnectPolicy backoff() {
        return new ReconnectPolicy(true, DEFAULT_INITIAL_BACKOFF, DEFAULT_MAX_DELAY);
    }

    /**
     * This policy with other delays, reconnection on.
     *
     * @param initial the delay after the first failed attempt (the first
     *     attempt is made at once); negative counts as zero
     * @param max the bound of every delay; less than {@code initial} lowers it
     * @return a new policy
     */
    public ReconnectPolicy withDelays(Duration initial, Duration max) {
        Duration i = initial.isNegative() ? Duration.ZERO : initial;
        Duration m = max.isNegative() ? Duration.ZERO : max;
        return new ReconnectPolicy(true, i.compareTo(m) > 0 ? m : i, m);
    }

    /**
     * Whether the client reconnects.
     *
     * @return true when it does
     */
    public boolean enabled() {
        return enabled;
    }

    /**
     * The delay after the first failed attempt.
     *
     * @return the delay
     */
    public Duration initialBackoff() {
        return initialBackoff;
    }

    /**
     * The bound of every delay between two attempts.
     *
     * @return the bound
     */
    public Duration maxDelay() {
        return maxDelay;
    }

    /**
     * The delay before the next attempt once {@code failures} attempts
     * failed in a row: zero for none, then the initial back-off doubled
     * {@code failures - 1} times, at most the maximum delay.
     *
     * @param failures attempts that failed since the connection was lost
     * @return the delay
     */
    public Duration delay(int failures) {
        if (failures <= 0) return Duration.ZERO;
        Duration d = initialBackoff;
        for (int i = 1; i < failures && d.compareTo(maxDelay) < 0; i++) d = d.multipliedBy(2);
        return d.compareTo(maxDelay) > 0 ? maxDelay : d;
    }

    @Override
    public String toString() {
        return enabled ? "ReconnectPolicy[backoff " + initialBackoff.toMillis() + " ms to " + maxDelay.toMillis() + " ms]"
                : "ReconnectPolicy[off]";
    }
}
