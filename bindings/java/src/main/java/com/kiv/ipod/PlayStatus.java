package com.kiv.ipod;

/**
 * The reply to {@link IPodClient#playState()}.
 *
 * @param status the daemon's status code as a constant, or null for a code it does not name
 * @param code the daemon's status code
 * @param lengthMs the current track's length (-1 when not known)
 * @param positionMs the play position (-1 when not known)
 */
public record PlayStatus(WirePlayStatus status, int code, int lengthMs, int positionMs) {}
