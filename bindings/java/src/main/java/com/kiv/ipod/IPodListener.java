package com.kiv.ipod;

import java.util.List;

/**
 * Receives what the daemon sends, on the {@link java.util.concurrent.Executor}
 * given to {@link IPodClient#connect}, in the order it arrived. Every method
 * has an empty default. A listener may call any method of the client,
 * blocking requests included; it must not block the executor for long, since
 * later deliveries wait behind it.
 */
public interface IPodListener {
    /**
     * A daemon event. The caches were updated before the call.
     *
     * @param client the client that received it
     * @param event a copy of the event
     */
    default void onEvent(IPodClient client, IPodEvent event) {}

    /**
     * The reply to a request of this client.
     *
     * @param client the client that sent the request
     * @param transactionId the request's id
     * @param result the library's decoded result
     * @param error the daemon's error text, or null
     */
    default void onReply(IPodClient client, long transactionId, int result, String error) {}

    /**
     * A ping from the daemon; the binding has already answered it.
     *
     * @param client the client that received it
     * @param transactionId the ping's id
     */
    default void onPing(IPodClient client, long transactionId) {}

    /**
     * The daemon closed the connection and the client does not reconnect
     * ({@link ReconnectPolicy#off()}); every request still waiting failed.
     * Comes after {@link #onConnectionLost}.
     *
     * @param client the client, which serves no more requests
     */
    default void onDisconnected(IPodClient client) {}

    /**
     * The connection to the daemon was lost; every request still waiting
     * failed with {@link IPodException.Kind#NOT_CONNECTED}, and so do the
     * requests made until {@link #onConnectionRestored}, if the client
     * reconnects at all.
     *
     * @param client the client
     * @param devices the device list as last known
     */
    default void onConnectionLost(IPodClient client, List<Device> devices) {}

    /**
     * A new connection was made after a loss (only with a
     * {@link ReconnectPolicy} that reconnects); requests are served again.
     *
     * @param client the client
     * @param devices the device list of the new connection
     * @param sessionReopened true when the session that was open before the
     *     loss was re-opened on the device with the same serial number
     */
    default void onConnectionRestored(IPodClient client, List<Device> devices, boolean sessionReopened) {}
}
