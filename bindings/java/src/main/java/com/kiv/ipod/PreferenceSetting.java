package com.kiv.ipod;

/** Preference settings; each names one value of one {@link PreferenceType}. NONE: no reply, or no such setting. */
public enum PreferenceSetting {
    /** For {@link PreferenceType#VIDEO_OUT}. */
    VIDEO_OUT_OFF(0),
    /** For {@link PreferenceType#VIDEO_OUT}. */
    VIDEO_OUT_ON(1),
    /** For {@link PreferenceType#SCREEN}. */
    SCREEN_FILL(2),
    /** For {@link PreferenceType#SCREEN}. */
    SCREEN_FIT(3),
    /** For {@link PreferenceType#VIDEO_SIGNAL}. */
    SIGNAL_NTSC(4),
    /** For {@link PreferenceType#VIDEO_SIGNAL}. */
    SIGNAL_PAL(5),
    /** For {@link PreferenceType#LINE_OUT}. */
    LINE_OUT_UNUSED(6),
    /** For {@link PreferenceType#LINE_OUT}. */
    LINE_OUT_USED(7),
    /** For {@link PreferenceType#VIDEO_CONNECTION}. */
    CONNECTION_NONE(8),
    /** For {@link PreferenceType#VIDEO_CONNECTION}. */
    CONNECTION_COMPOSITE(9),
    /** For {@link PreferenceType#VIDEO_CONNECTION}. */
    CONNECTION_SVIDEO(10),
    /** For {@link PreferenceType#VIDEO_CONNECTION}. */
    CONNECTION_COMPONENT(11),
    /** For {@link PreferenceType#CLOSED_CAPTIONS}. */
    CLOSED_CAPTIONS_OFF(12),
    /** For {@link PreferenceType#CLOSED_CAPTIONS}. */
    CLOSED_CAPTIONS_ON(13),
    /** For {@link PreferenceType#ASPECT_RATIO}. */
    ASPECT_4_3(14),
    /** For {@link PreferenceType#ASPECT_RATIO}. */
    ASPECT_16_9(15),
    /** For {@link PreferenceType#SUBTITLES}. */
    SUBTITLES_OFF(16),
    /** For {@link PreferenceType#SUBTITLES}. */
    SUBTITLES_ON(17),
    /** For {@link PreferenceType#ALTERNATE_AUDIO}. */
    ALTERNATE_AUDIO_OFF(18),
    /** For {@link PreferenceType#ALTERNATE_AUDIO}. */
    ALTERNATE_AUDIO_ON(19),
    /** No reply, or a number that names no setting. */
    NONE(255);

    private final int code;

    PreferenceSetting(int code) {
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
    public static PreferenceSetting fromCode(int code) {
        for (PreferenceSetting v : values())
            if (v.code == code) return v;
        return null;
    }
}
