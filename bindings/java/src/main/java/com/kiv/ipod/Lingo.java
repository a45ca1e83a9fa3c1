package com.kiv.ipod;

/** Lingoes (command sets of the device) for {@link IPodClient#lingoVersion}. */
public enum Lingo {
    /** General lingo. */
    GENERAL(0),
    /** Microphone. */
    MICROPHONE(1),
    /** Simple remote. */
    SIMPLE_REMOTE(2),
    /** Display remote. */
    DISPLAY_REMOTE(3),
    /** Extended interface. */
    EXTENDED_INTERFACE(4),
    /** RF transmitter. */
    RF_TRANSMITTER(5),
    /** USB host control. */
    USB_HOST(6),
    /** RF tuner. */
    RF_TUNER(7),
    /** Accessory equalizer. */
    EQUALIZER(8),
    /** Sports. */
    SPORTS(9),
    /** Digital audio. */
    DIGITAL_AUDIO(10),
    /** Storage. */
    STORAGE(12),
    /** IPod out. */
    IPOD_OUT(13),
    /** Location. */
    LOCATION(14);

    private final int code;

    Lingo(int code) {
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
    public static Lingo fromCode(int code) {
        for (Lingo v : values())
            if (v.code == code) return v;
        return null;
    }
}
