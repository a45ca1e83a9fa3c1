package com.kiv.ipod;

/**
 * A request that failed: the daemon's error text (what kiv_ipod_last_error
 * reads), a refusal, a lost connection, a closed client or an expired
 * timeout. The message says which.
 */
public class IPodException extends Exception {
    private static final long serialVersionUID = 1L;

    public IPodException(String message) {
        super(message);
    }
}
