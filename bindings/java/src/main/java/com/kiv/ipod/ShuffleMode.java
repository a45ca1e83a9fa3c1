package com.kiv.ipod;

/** Shuffle modes. */
public enum ShuffleMode {
    /** Play in order. */
    OFF(0),
    /** Shuffle tracks. */
    TRACKS(1),
    /** Shuffle albums. */
    ALBUMS(2);

    private final int code;

    ShuffleMode(int code) {
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
    public static ShuffleMode fromCode(int code) {
        for (ShuffleMode v : values())
            if (v.code == code) return v;
        return null;
    }
}
