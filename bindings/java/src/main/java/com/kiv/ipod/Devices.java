package com.kiv.ipod;

import java.util.ArrayList;
import java.util.List;

/** The device list of a native handle, read on the loop thread. */
final class Devices {
    private Devices() {}

    static int index(long b, String serial) {
        int n = Native.number(b, Native.N_DEVICE_COUNT, 0);
        for (int i = 0; i < n; i++)
            if (serial.equals(Native.text(b, Native.T_DEVICE_SERIAL, i))) return i;
        return -1;
    }

    /** The device list of the handle, copied (loop thread). */
    static List<Device> read(long b) {
        int n = Native.number(b, Native.N_DEVICE_COUNT, 0);
        List<Device> out = new ArrayList<>(Math.max(n, 0));
        for (int i = 0; i < n; i++) {
            out.add(new Device(i, Native.text(b, Native.T_DEVICE_SERIAL, i), Native.text(b, Native.T_DEVICE_NAME, i),
                    Native.text(b, Native.T_DEVICE_VERSION, i), Native.number(b, Native.N_DEVICE_PRODUCT_ID, i),
                    Native.number(b, Native.N_DEVICE_TYPE, i), Native.number(b, Native.N_DEVICE_AUDIO_COUNT, i),
                    Native.number(b, Native.N_DEVICE_ITUNES_DB, i) != 0, Native.number(b, Native.N_DEVICE_READY, i) != 0,
                    Native.number(b, Native.N_DEVICE_EXTENDED, i) != 0,
                    Native.number(b, Native.N_DEVICE_AUTHENTICATED, i) != 0));
        }
        return List.copyOf(out);
    }
}
