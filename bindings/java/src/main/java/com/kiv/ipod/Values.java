package com.kiv.ipod;

import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Value trees from the daemon as Java objects. The glue hands a tree over
 * as Integer, Float, String, byte[], Object[] (an array) or Object[][]
 * {keys, values} (a hash); this turns it into unmodifiable lists and maps
 * that keep the daemon's order.
 */
final class Values {
    private Values() {}

    /**
     * The tree as Integer, Float, String, byte[], {@code List<Object>} and
     * {@code Map<String, Object>} (the first of equal keys wins); null for none.
     */
    static Object of(Object o) {
        if (o instanceof Object[][]) {
            Object[][] pair = (Object[][]) o;
            Map<String, Object> map = new LinkedHashMap<>();
            for (int i = 0; i < pair[0].length; i++) map.putIfAbsent((String) pair[0][i], of(pair[1][i]));
            return Collections.unmodifiableMap(map);
        }
        if (o instanceof Object[]) {
            Object[] array = (Object[]) o;
            List<Object> list = new ArrayList<>(array.length);
            for (Object e : array) list.add(of(e));
            return Collections.unmodifiableList(list);
        }
        return o;
    }

    /** The tree as a list: its elements, or an empty list for what is not an array. */
    @SuppressWarnings("unchecked")
    static List<Object> list(Object o) {
        Object v = of(o);
        return v instanceof List ? (List<Object>) v : List.of();
    }
}
