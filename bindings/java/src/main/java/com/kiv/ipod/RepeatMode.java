package com.kiv.ipod;

/** Repeat modes. */
public enum RepeatMode {
    /** Stop after the last track. */
    OFF(0),
    /** Repeat the current track. */
    ONE(1),
    /** Repeat the whole list. */
    ALL(2);

    private final int code;

    RepeatMode(int code) {
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
    public static RepeatMode fromCode(int code) {
        for (RepeatMode v : values())
            if (v.code == code) return v;
        return null;
    }
}
