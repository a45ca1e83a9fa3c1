package com.kiv.ipod;

/** Preference settings; each names one value of one {@link PreferenceType}. NONE: no reply, or no such setting. */
public enum PreferenceSetting {
    VIDEO_OUT_OFF(0),
    VIDEO_OUT_ON(1),
    SCREEN_FILL(2),
    SCREEN_FIT(3),
    SIGNAL_NTSC(4),
    SIGNAL_PAL(5),
    LINE_OUT_UNUSED(6),
    LINE_OUT_USED(7),
    CONNECTION_NONE(8),
    CONNECTION_COMPOSITE(9),
    CONNECTION_SVIDEO(10),
    CONNECTION_COMPONENT(11),
    CLOSED_CAPTIONS_OFF(12),
    CLOSED_CAPTIONS_ON(13),
    ASPECT_4_3(14),
    ASPECT_16_9(15),
    SUBTITLES_OFF(16),
    SUBTITLES_ON(17),
    ALTERNATE_AUDIO_OFF(18),
    ALTERNATE_AUDIO_ON(19),
    NONE(255);

    private final int code;

    PreferenceSetting(int code) {
        this.code = code;
    }

    /** The number the library and the daemon use. */
    public int code() {
        return code;
    }

    /** The constant with this number, or null. */
    public static PreferenceSetting fromCode(int code) {
        for (PreferenceSetting v : values())
            if (v.code == code) return v;
        return null;
    }
}
