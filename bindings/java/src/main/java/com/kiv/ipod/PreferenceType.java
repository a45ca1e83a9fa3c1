package com.kiv.ipod;

/** Preference types for {@link IPodClient#setPreference} and {@link IPodClient#getPreference}. */
public enum PreferenceType {
    /** Video output on or off. */
    VIDEO_OUT(0),
    /** Fill or fit the screen. */
    SCREEN(1),
    /** NTSC or PAL. */
    VIDEO_SIGNAL(2),
    /** Line-out used or not. */
    LINE_OUT(3),
    /** None, composite, S-video, component. */
    VIDEO_CONNECTION(8),
    /** Closed captions. */
    CLOSED_CAPTIONS(9),
    /** 4:3 or 16:9. */
    ASPECT_RATIO(10),
    /** Subtitles. */
    SUBTITLES(12),
    /** Alternate audio channel. */
    ALTERNATE_AUDIO(13);

    private final int code;

    PreferenceType(int code) {
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
    public static PreferenceType fromCode(int code) {
        for (PreferenceType v : values())
            if (v.code == code) return v;
        return null;
    }
}
