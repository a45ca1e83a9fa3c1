package com.kiv.ipod;

/**
 * Receives what the daemon sends, on the {@link java.util.concurrent.Executor}
 * given to {@link IPodClient#connect}, in the order it arrived. Every method
 * has an empty default. A listener may call any method of the client,
 * blocking requests included; it must not block the executor for long, since
 * later deliveries wait behind it.
 */
public interface IPodListener {
    /** A daemon event. The caches were updated before the call. */
    default void onEvent(IPodClient client, IPodEvent event) {}

    /**
     * The reply to a request of this client.
     *
     * @param transactionId the request's id
     * @param result the library's decoded result
     * @param error the daemon's error text, or null
     */
    default void onReply(IPodClient client, long transactionId, int result, String error) {}

    /** A ping from the daemon; the binding has already answered it. */
    default void onPing(IPodClient client, long transactionId) {}

    /** The daemon closed the connection; every request still waiting failed. */
    default void onDisconnected(IPodClient client) {}
}
