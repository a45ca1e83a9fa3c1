package com.kiv.ipod;

import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.concurrent.CompletableFuture;

/**
 * The session, preference, EAP, video-out, Bluetooth and other accessory
 * requests of {@link IPodClient}.
 */
abstract class AccessoryRequests extends DatabaseRequests {
    AccessoryRequests(ClientCore core) {
        super(core);
    }

    // -------------------------------------------------------- preferences

    /**
     * Sets a preference.
     *
     * @param type the preference type
     * @param setting the setting
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int setPreference(PreferenceType type, PreferenceSetting setting) throws IPodException {
        return blocking("set_preference", op(Native.REQ_SET_PREFERENCE, type.code(), setting.code()), STANDARD);
    }

    /**
     * The asynchronous form of {@link #setPreference(PreferenceType, PreferenceSetting)}.
     *
     * @param type the preference type
     * @param setting the setting
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> setPreferenceAsync(PreferenceType type, PreferenceSetting setting) {
        return async("set_preference", op(Native.REQ_SET_PREFERENCE, type.code(), setting.code()), STANDARD);
    }

    private static final Decoder<PreferenceSetting> SETTING = (b, r) -> {
        PreferenceSetting s = PreferenceSetting.fromCode(r);
        return s != null ? s : PreferenceSetting.NONE;
    };

    /**
     * Reads a preference from the device.
     *
     * @param type the preference type
     * @return the setting ({@link PreferenceSetting#NONE} when the reply names none)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public PreferenceSetting getPreference(PreferenceType type) throws IPodException {
        return core.await(preferenceRequest(type, false));
    }

    /**
     * The asynchronous form of {@link #getPreference(PreferenceType)}.
     *
     * @param type the preference type
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<PreferenceSetting> getPreferenceAsync(PreferenceType type) {
        return preferenceRequest(type, true);
    }

    private CompletableFuture<PreferenceSetting> preferenceRequest(PreferenceType type, boolean async) {
        return core.request("get_preference", Native.REQ_GET_PREFERENCE, op(Native.REQ_GET_PREFERENCE, type.code(), 0),
                SETTING, async);
    }

    // -------------------------------------------------------- sessions and devices

    private CompletableFuture<Boolean> openRequest(int index, boolean async) {
        return core.openSession(index, async);
    }

    /**
     * Makes device {@code index} current and opens a session on it; true when it opened.
     *
     * @param index the index
     * @return true when it holds
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public boolean openSession(int index) throws IPodException {
        return core.await(openRequest(index, false));
    }

    /**
     * The asynchronous form of {@link #openSession(int)}.
     *
     * @param index the index
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Boolean> openSessionAsync(int index) {
        return openRequest(index, true);
    }

    /**
     * Closes the session; it is no longer re-opened after a reconnection.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int closeSession() throws IPodException {
        return core.await(core.closeSession(false));
    }

    /**
     * The asynchronous form of {@link #closeSession()}.
     *
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> closeSessionAsync() {
        return core.closeSession(true);
    }


    // -------------------------------------------------------- EAP

    /**
     * Launches the application {@code name} on the device.
     *
     * @param name the application's name (no NUL)
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int launchApplication(String name) throws IPodException {
        return core.await(launchRequest(name, false));
    }

    /**
     * The asynchronous form of {@link #launchApplication(String)}.
     *
     * @param name the application's name (no NUL)
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> launchApplicationAsync(String name) {
        return launchRequest(name, true);
    }

    private CompletableFuture<Integer> launchRequest(String name, boolean async) {
        if (name.indexOf('\0') >= 0) throw new IllegalArgumentException("an application name holds no NUL");
        byte[] text = name.getBytes(StandardCharsets.UTF_8);
        return core.request("launch_application", -1, b -> Native.requestData(b, Native.DATA_LAUNCH, 0, 0, text), STANDARD,
                async);
    }

    /**
     * Sends a datagram on EAP session {@code sessionId}.
     *
     * @param sessionId the EAP session
     * @param data the datagram's bytes, copied
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails: an error reply (its text), no ready device, a timeout or
     *     no connection ({@link IPodException#kind()})
     */
    public int sendEapDatagram(int sessionId, byte[] data) throws IPodException {
        return core.await(eapRequest(sessionId, data, false));
    }

    /**
     * The asynchronous form of {@link #sendEapDatagram(int, byte[])}.
     *
     * @param sessionId the EAP session
     * @param data the datagram's bytes, copied
     * @return the future of its result, completed on the executor
     */
    public CompletableFuture<Integer> sendEapDatagramAsync(int sessionId, byte[] data) {
        return eapRequest(sessionId, data, true);
    }

    private CompletableFuture<Integer> eapRequest(int sessionId, byte[] data, boolean async) {
        byte[] copy = data.clone();
        return core.request("send_eap_datagram", -1, b -> Native.requestData(b, Native.DATA_EAP, sessionId, 0, copy), STANDARD,
                async);
    }

    /**
     * Runs the device's authentication again.
     *
     * @param value the value passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int reauthenticate(int value) throws IPodException {
        return core.await(send("reauthentication", Native.REQ_REAUTHENTICATION, value, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #reauthenticate(int)}.
     *
     * @param value the value passed to the daemon unchanged
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> reauthenticateAsync(int value) {
        return send("reauthentication", Native.REQ_REAUTHENTICATION, value, 0, 0, STANDARD, true);
    }

    /**
     * Sends a state change.
     *
     * @param value the state, passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int setStateChange(int value) throws IPodException {
        return core.await(send("set_statechange", Native.REQ_SET_STATECHANGE, value, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #setStateChange(int)}.
     *
     * @param value the state, passed to the daemon unchanged
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setStateChangeAsync(int value) {
        return send("set_statechange", Native.REQ_SET_STATECHANGE, value, 0, 0, STANDARD, true);
    }

    /**
     * Enters video-out mode.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int enterVideoOut() throws IPodException {
        return core.await(send("enter_videooutmode", Native.REQ_ENTER_VIDEO_OUT, 0, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #enterVideoOut()}.
     *
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> enterVideoOutAsync() {
        return send("enter_videooutmode", Native.REQ_ENTER_VIDEO_OUT, 0, 0, 0, STANDARD, true);
    }

    /**
     * Leaves video-out mode.
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int exitVideoOut() throws IPodException {
        return core.await(send("exit_videooutmode", Native.REQ_EXIT_VIDEO_OUT, 0, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #exitVideoOut()}.
     *
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> exitVideoOutAsync() {
        return send("exit_videooutmode", Native.REQ_EXIT_VIDEO_OUT, 0, 0, 0, STANDARD, true);
    }

    /**
     * Sets the video-out options.
     *
     * @param options the options, passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int setVideoOutOptions(int options) throws IPodException {
        return core.await(send("set_videooutoptions", Native.REQ_SET_VIDEO_OUT, options, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #setVideoOutOptions(int)}.
     *
     * @param options the options, passed to the daemon unchanged
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setVideoOutOptionsAsync(int options) {
        return send("set_videooutoptions", Native.REQ_SET_VIDEO_OUT, options, 0, 0, STANDARD, true);
    }

    /**
     * Sends a video-out navigation step.
     *
     * @param step the step, passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int navigateVideoOut(int step) throws IPodException {
        return core.await(send("navigate_videoout", Native.REQ_NAVIGATE_VIDEO_OUT, step, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #navigateVideoOut(int)}.
     *
     * @param step the step, passed to the daemon unchanged
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> navigateVideoOutAsync(int step) {
        return send("navigate_videoout", Native.REQ_NAVIGATE_VIDEO_OUT, step, 0, 0, STANDARD, true);
    }

    /**
     * Restarts the identification of the accessory (sent whether or not a device is ready).
     *
     * @param value the value passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int restartIdps(int value) throws IPodException {
        return core.await(send("restart_idps", Native.REQ_RESTART_IDPS, value, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #restartIdps(int)}.
     *
     * @param value the value passed to the daemon unchanged
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> restartIdpsAsync(int value) {
        return send("restart_idps", Native.REQ_RESTART_IDPS, value, 0, 0, STANDARD, true);
    }

    /**
     * Tells the device how much current the accessory offers.
     *
     * @param value the setting, passed to the daemon unchanged
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int setAvailableCurrent(int value) throws IPodException {
        return core.await(send("set_available_current", Native.REQ_AVAILABLE_CURRENT, value, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #setAvailableCurrent(int)}.
     *
     * @param value the setting, passed to the daemon unchanged
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setAvailableCurrentAsync(int value) {
        return send("set_available_current", Native.REQ_AVAILABLE_CURRENT, value, 0, 0, STANDARD, true);
    }

    /**
     * Pings the daemon (sent whether or not a device is ready).
     *
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails /
     */
    public int ping() throws IPodException {
        return core.await(send("ping", Native.REQ_PING, 0, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #ping()}.
     *
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> pingAsync() {
        return send("ping", Native.REQ_PING, 0, 0, 0, STANDARD, true);
    }

    /**
     * Asks for the video-out options.
     *
     * @param current true for the current options, false for the default ones (sent as 1 or 0)
     * @return the options
     * @throws IPodException when the request fails /
     */
    public int videoOutOptions(boolean current) throws IPodException {
        return core.await(send("get_videooutoptions", Native.REQ_GET_VIDEO_OUT, current ? 1 : 0, 0, 0, STANDARD, false));
    }

    /**
     * The asynchronous form of {@link #videoOutOptions(boolean)}.
     *
     * @param current true for the current options, false for the default ones
     * @return the future of the options /
     */
    public CompletableFuture<Integer> videoOutOptionsAsync(boolean current) {
        return send("get_videooutoptions", Native.REQ_GET_VIDEO_OUT, current ? 1 : 0, 0, 0, STANDARD, true);
    }

    private CompletableFuture<Integer> texts(String name, int op, int a, int x, byte[] t1, byte[] t2, boolean async) {
        return core.request(name, -1, b -> Native.requestTexts(b, op, a, x, t1, t2), STANDARD, async);
    }

    /**
     * Passes one configuration entry to the daemon (sent whether or not a device is ready).
     *
     * @param key the entry's name
     * @param value its value
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails
     * @throws IllegalArgumentException when a text holds a NUL /
     */
    public int setConfig(String key, String value) throws IPodException {
        return core.await(setConfigAsync(key, value, false));
    }

    /**
     * The asynchronous form of {@link #setConfig(String, String)}.
     *
     * @param key the entry's name
     * @param value its value
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setConfigAsync(String key, String value) {
        return setConfigAsync(key, value, true);
    }

    private CompletableFuture<Integer> setConfigAsync(String key, String value, boolean async) {
        return texts("set_config", Native.TEXTS_CONFIG, 0, 0, utf8(key, "a key"), utf8(value, "a value"), async);
    }

    /**
     * Sends the accessory's Bluetooth hardware information, when the device list holds a device (whether or
     * not it is ready). The PIN code travels to the daemon; the library's log masks it.
     *
     * @param deviceClass the Bluetooth device class (unsigned)
     * @param pairingType the pairing type
     * @param pinCode the PIN code
     * @param address the Bluetooth address as text
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails ({@link IPodException.Kind#NOT_READY} without any device)
     * @throws IllegalArgumentException when a text holds a NUL /
     */
    public int setBluetoothHardware(int deviceClass, int pairingType, String pinCode, String address)
            throws IPodException {
        return core.await(setBluetoothHardwareAsync(deviceClass, pairingType, pinCode, address, false));
    }

    /**
     * The asynchronous form of {@link #setBluetoothHardware(int, int, String, String)}.
     *
     * @param deviceClass the Bluetooth device class (unsigned)
     * @param pairingType the pairing type
     * @param pinCode the PIN code
     * @param address the Bluetooth address as text
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setBluetoothHardwareAsync(int deviceClass, int pairingType, String pinCode,
            String address) {
        return setBluetoothHardwareAsync(deviceClass, pairingType, pinCode, address, true);
    }

    private CompletableFuture<Integer> setBluetoothHardwareAsync(int deviceClass, int pairingType, String pinCode,
            String address, boolean async) {
        return texts("set_bluetooth_hw_info", Native.TEXTS_BLUETOOTH_HW, deviceClass, pairingType,
                utf8(pinCode, "a PIN code"), utf8(address, "an address"), async);
    }

    /**
     * Reports whether the device {@code serial} is connected over Bluetooth (sent whether or not a device is
     * ready).
     *
     * @param connected true when it is
     * @param serial the device's serial number
     * @return the daemon's integer (0 when done)
     * @throws IPodException when the request fails
     * @throws IllegalArgumentException when the serial number holds a NUL /
     */
    public int setBluetoothState(boolean connected, String serial) throws IPodException {
        return core.await(texts("set_bluetooth_state", Native.TEXTS_BLUETOOTH_STATE, connected ? 1 : 0, 0,
                utf8(serial, "a serial number"), null, false));
    }

    /**
     * The asynchronous form of {@link #setBluetoothState(boolean, String)}.
     *
     * @param connected true when it is
     * @param serial the device's serial number
     * @return the future of the daemon's integer /
     */
    public CompletableFuture<Integer> setBluetoothStateAsync(boolean connected, String serial) {
        return texts("set_bluetooth_state", Native.TEXTS_BLUETOOTH_STATE, connected ? 1 : 0, 0,
                utf8(serial, "a serial number"), null, true);
    }

    /**
     * Runs the daemon's health examination (sent whether or not a device is ready). The loop thread waits for
     * the reply within the timeout, so the client handles nothing else meanwhile.
     *
     * @param text what to examine
     * @return the reply's value, copied (see {@link IPodClient#chapterInfo}); an error reply is returned as
     *     its map, with its "error" text
     * @throws IPodException when no reply came: {@link IPodException.Kind#TIMEOUT}, {@link
     *     IPodException.Kind#NOT_CONNECTED}, or NONE for an empty reply
     * @throws IllegalArgumentException when the text holds a NUL /
     */
    public Object healthExamine(String text) throws IPodException {
        return core.await(healthExamineAsync(text, false));
    }

    /**
     * The asynchronous form of {@link #healthExamine(String)}.
     *
     * @param text what to examine
     * @return the future of the reply's value /
     */
    public CompletableFuture<Object> healthExamineAsync(String text) {
        return healthExamineAsync(text, true);
    }

    private CompletableFuture<Object> healthExamineAsync(String text, boolean async) {
        byte[] bytes = utf8(text, "a text");
        CompletableFuture<Object> f = core.onLoop(b -> {
            Object v = Values.of(Native.healthExamine(b, bytes));
            if (v != null) return v;
            IPodException.Kind kind = Native.number(b, Native.N_FD, 0) < 0 ? IPodException.Kind.NOT_CONNECTED
                    : IPodException.Kind.fromNative(Native.number(b, Native.N_LAST_ERROR_KIND, 0));
            throw kind == IPodException.Kind.NONE ? noReply("value") : IPodException.refused("health_examine", kind);
        });
        return async ? core.onExecutor(f) : f;
    }
}
