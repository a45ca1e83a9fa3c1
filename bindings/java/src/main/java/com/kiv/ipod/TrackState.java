package com.kiv.ipod;

/** Play state as the current-track cache reports it ({@link IPodClient#currentTrack()}). Not to be mixed with {@link WirePlayStatus}, the daemon's own numbering. */
public enum TrackState {
    STOPPED(0),
    PLAYING(1),
    PAUSED(2),
    ERROR(3),
    FAST_FORWARD(4),
    REWIND(5);

    private final int code;

    TrackState(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static TrackState fromCode(int code) {
        for (TrackState v : values())
            if (v.code == code) return v;
        return null;
    }
}
