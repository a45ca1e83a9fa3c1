package com.kiv.ipod;

/** The daemon's play status code: the result of {@link IPodClient#playState()}. Not to be mixed with {@link TrackState}. */
public enum WirePlayStatus {
    STOPPED(0),
    FAST_FORWARD(1),
    REWIND(2),
    PLAYING(3),
    PAUSED(4),
    ERROR(5);

    private final int code;

    WirePlayStatus(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static WirePlayStatus fromCode(int code) {
        for (WirePlayStatus v : values())
            if (v.code == code) return v;
        return null;
    }
}
