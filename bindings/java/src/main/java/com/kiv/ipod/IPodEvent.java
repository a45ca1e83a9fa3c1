package com.kiv.ipod;

import java.util.OptionalInt;

/**
 * A daemon event, copied out of the library before it is handed to the
 * listeners (the library frees its own record as soon as its callback
 * returns). Fields that the event type does not carry are null or empty.
 *
 * @param type the event type
 * @param deviceSerial the "ipod_serial" of the event, or null
 * @param serial the serial of the device that connected, authenticated,
 *     changed mode or became ready, or that went away; null otherwise
 * @param value the integer that a media event carries: the daemon's play
 *     status code ({@link #playStatus()}), the track index, the position in
 *     milliseconds, the sample rate, the shuffle or the repeat mode
 * @param authenticated for {@link EventType#AUTHENTICATED}, its flag
 * @param extended for {@link EventType#MODE_CHANGED}, its "extended" flag
 * @param eapSessionId for the three EAP events, the session id
 * @param eapProtocolIndex for {@link EventType#EAP_SESSION_OPENED}
 * @param eapProtocol for {@link EventType#EAP_SESSION_OPENED}, or null
 * @param eapData for {@link EventType#EAP_DATA_RECEIVED}, a copy, or null
 */
public record IPodEvent(EventType type, String deviceSerial, String serial, OptionalInt value,
        OptionalInt authenticated, OptionalInt extended, OptionalInt eapSessionId, OptionalInt eapProtocolIndex,
        String eapProtocol, byte[] eapData) {
    /**
     * The datagram of an {@link EventType#EAP_DATA_RECEIVED} event.
     *
     * @return a copy, or null when not known
     */
    public byte[] eapData() {
        return eapData == null ? null : eapData.clone();
    }

    /**
     * The new play status of a {@link EventType#PLAY_STATE_CHANGED} event.
     *
     * @return the status; null for another event or a code without a name
     */
    public WirePlayStatus playStatus() {
        return type == EventType.PLAY_STATE_CHANGED && value.isPresent() ? WirePlayStatus.fromCode(value.getAsInt())
                                                                          : null;
    }
}
