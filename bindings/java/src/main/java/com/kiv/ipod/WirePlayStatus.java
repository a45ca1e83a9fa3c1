package com.kiv.ipod;

/** The daemon's play status code: the result of {@link IPodClient#playState()}. Not to be mixed with {@link TrackState}. */
public enum WirePlayStatus {
    /** Nothing is playing. */
    STOPPED(0),
    /** Seeking forward. */
    FAST_FORWARD(1),
    /** Seeking backward. */
    REWIND(2),
    /** Playing. */
    PLAYING(3),
    /** Paused. */
    PAUSED(4),
    /** The device reports an error. */
    ERROR(5);

    private final int code;

    WirePlayStatus(int code) {
        this.code = code;
    }

    /**
     * The number the library and the daemon use.
     *
     * @return the number
     */
    public int code() {
        return code;
    }

    /**
     * The constant with a number.
     *
     * @param code the number
     * @return the constant, or null for a number without a name
     */
    public static WirePlayStatus fromCode(int code) {
        for (WirePlayStatus v : values())
            if (v.code == code) return v;
        return null;
    }
}
