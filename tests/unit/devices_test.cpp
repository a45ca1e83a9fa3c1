// Device registry: lookups, refusals, insert-or-replace and readiness.
#include <gtest/gtest.h>

#include "client_fixture.h"
#include "log_capture.h"

using namespace fixture;
using kivtest::log_clear;
using kivtest::log_count;

namespace {

constexpr int kDebug = 3;
const char kNoDevice[] = "is_device_available, No valid device.\n";

TEST(Devices, WithoutListEverythingIsRefused) {
    Client c;
    log_clear();
    EXPECT_EQ(kiv_ipod_device_count(c), 0);
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), -1);
    EXPECT_EQ(kivtest::log_records().size(), 0u) << "lookup by serial without a list logs nothing";

    EXPECT_EQ(kiv_ipod_device_serial(c, 0), nullptr);
    EXPECT_EQ(kiv_ipod_device_audio_count(c, 0), 0);
    EXPECT_EQ(log_count(kDebug, kNoDevice), 2);

    EXPECT_EQ(get_current_ipod_id(c), -1);
    EXPECT_EQ(log_count(kDebug, "get_current_ipod_id, No valid device.\n"), 1);

    // A list of the wrong shape counts as no list.
    c->devices = I(3);
    EXPECT_EQ(kiv_ipod_device_count(c), 0);
    EXPECT_EQ(kiv_ipod_device_name(c, 0), nullptr);
}

TEST(Devices, EmptyListAndOutOfRangeIndexes) {
    Client c;
    c.set_devices({});
    log_clear();
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), -1);
    EXPECT_EQ(log_count(kDebug, "kiv_ipod_device_index, not found ipod. (serial=A)\n"), 1);
    EXPECT_EQ(kiv_ipod_device_port(c, 0), 0);
    EXPECT_EQ(log_count(kDebug, "is_device_available, Selected device(0) is not available.\n"), 1);

    c.set_devices({device("A", 5), device("B", 6)});
    log_clear();
    EXPECT_EQ(kiv_ipod_device_serial(c, -1), nullptr);
    EXPECT_EQ(kiv_ipod_device_serial(c, 2), nullptr);
    EXPECT_EQ(log_count(kDebug, "is_device_available, Selected device(-1) is not available.\n"), 1);
    EXPECT_EQ(log_count(kDebug, "is_device_available, Selected device(2) is not available.\n"), 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, 1), "B");
}

TEST(Devices, AccessorsReadTheirKeys) {
    Client c;
    c.set_devices({device("A", 5), device("B", 6, 1, 0, 1)});
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_index(c, "B"), 1);
    EXPECT_STREQ(kiv_ipod_device_name(c, 1), "name-B");
    EXPECT_STREQ(kiv_ipod_software_version(c, 0), "1.2.3");
    EXPECT_EQ(kiv_ipod_device_audio_count(c, 0), 7);
    EXPECT_EQ(kiv_ipod_device_support_itunes_db(c, 0), 1);
    EXPECT_EQ(kiv_ipod_device_is_extended(c, 1), 0);
    EXPECT_EQ(kiv_ipod_device_authenticated(c, 1), 1);
    EXPECT_EQ(kiv_ipod_device_ready(c, 1), 1);
    EXPECT_EQ(kiv_ipod_device_product_id(c, 0), 0x1261);
    EXPECT_EQ(kiv_ipod_device_sound_card_id(c, 0), 2);
    EXPECT_EQ(kiv_ipod_device_port(c, 0), 3);
    EXPECT_EQ(kiv_ipod_device_used(c, 0), 1);
    EXPECT_EQ(kiv_ipod_device_type(c, 0), 4);

    // Missing keys and values of another type answer 0 / null.
    c.set_devices({H({{"serial", S("X")}, {"name", I(1)}, {"port", S("p")}})});
    EXPECT_EQ(kiv_ipod_device_name(c, 0), nullptr);
    EXPECT_EQ(kiv_ipod_device_port(c, 0), 0);
    EXPECT_EQ(kiv_ipod_device_used(c, 0), 0);
}

// update_device replaces the record with the same serial (keeping its own
// copy) or appends, creating the list if there is none; a record without a
// serial could never be found again and is ignored. Ever new serials stop
// being added at the device limit, and a removal makes room again.
TEST(Devices, UpdateReplacesBySerialOrAppendsUpToTheLimit) {
    Client c;
    auto update = [&](Value rec) {
        update_device(c, rec);
        serialize_free(rec);
    };
    update(device("A", 5));
    ASSERT_EQ(kiv_ipod_device_count(c), 1);
    update(device("B", 6));
    Value newer = device("A", 9, 1, 1, 0);
    update_device(c, newer);
    serialize_hash_add(newer, "ipod_id", I(77));
    serialize_free(newer);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(kiv_ipod_device_index(c, "A"), 0);
    EXPECT_EQ(kiv_ipod_device_ready(c, 0), 0);
    EXPECT_EQ(value_int_or(serialize_array_get(c->devices, 0), "ipod_id", -1), 9);
    update(H({{"ipod_id", I(3)}}));
    update_device(c, nullptr);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);

    log_clear();
    for (int i = 0; i < KIV_IPOD_MAX_DEVICES + 1; ++i) update(device(("S" + std::to_string(i)).c_str(), i));
    EXPECT_EQ(kiv_ipod_device_count(c), KIV_IPOD_MAX_DEVICES);
    EXPECT_EQ(kivtest::log_count_containing("not added"), 3);
    update(device("A", 500));
    EXPECT_EQ(get_current_ipod_id(c), 500);
    remove_device(c, 1);
    update(device("new", 1));
    EXPECT_EQ(kiv_ipod_device_index(c, "new"), KIV_IPOD_MAX_DEVICES - 1);
    EXPECT_EQ(kiv_ipod_device_count(c), KIV_IPOD_MAX_DEVICES);

    // A whole list from the daemon is held to the same limit, keeping its
    // first records; a list within it is copied whole.
    for (int n : {KIV_IPOD_MAX_DEVICES, KIV_IPOD_MAX_DEVICES + 1, 5000}) {
        Value list = serialize_array();
        for (int i = 0; i < n; ++i) serialize_array_add(list, device(("L" + std::to_string(i)).c_str(), i));
        log_clear();
        Value copy = copy_device_list(list, "test");
        EXPECT_EQ(serialize_array_count(copy), KIV_IPOD_MAX_DEVICES) << n;
        EXPECT_EQ(kivtest::log_count_containing("the rest not kept"), n > KIV_IPOD_MAX_DEVICES ? 1 : 0);
        EXPECT_STREQ(serialize_hash_get_string(serialize_array_get(copy, KIV_IPOD_MAX_DEVICES - 1), "serial"),
                     ("L" + std::to_string(KIV_IPOD_MAX_DEVICES - 1)).c_str());
        serialize_free(copy);
        serialize_free(list);
    }
}

TEST(Devices, ReadinessRule) {
    Client c;
    c.set_devices(
        {device("A", 5, 1, 0, 1), device("B", 6, 2, 1, 1), device("C", 7), device("D", 8, 1, 1, 0)});
    // Result and flag for each index (4: no such device); the flag starts
    // opposite to the expected one.
    const int expected[][2] = {{0, 0}, {2, 0}, {1, 1}, {0, 0}, {0, 0}};
    for (int k = 0; k < 5; k++) {
        c->ready = expected[k][1] ? 0 : 1;
        log_clear();
        EXPECT_EQ(set_ready(c, k), expected[k][0]) << k;
        EXPECT_EQ(c->ready, unsigned(expected[k][1])) << k;
    }
    EXPECT_EQ(log_count(kDebug, "is_device_available, Selected device(4) is not available.\n"), 1);
}

TEST(Devices, CurrentSessionIsStoredUnchecked) {
    Client c;
    c.set_devices({device("A", 5), device("B", 6)});
    EXPECT_EQ(kiv_ipod_current_session(c), 0);
    EXPECT_EQ(get_current_ipod_id(c), 5);
    c->ready = 1;
    EXPECT_EQ(kiv_ipod_set_current_session(c, 5), 5);
    EXPECT_EQ(kiv_ipod_current_session(c), 5);
    EXPECT_EQ(c->ready, 1u);
    EXPECT_EQ(kiv_ipod_device_serial(c, 5), nullptr);
    EXPECT_EQ(get_current_ipod_id(c), -1);
    kiv_ipod_set_current_session(c, 1);
    EXPECT_EQ(get_current_ipod_id(c), 6);
}

TEST(Devices, RemovalKeepsCurrentSessionOnTheSameDevice) {
    Client c;
    c.set_devices({device("A", 5), device("B", 6), device("C", 7)});
    c->current_session = 2;
    remove_device(c, 0);
    EXPECT_EQ(kiv_ipod_device_count(c), 2);
    EXPECT_EQ(c->current_session, 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, c->current_session), "C");
    remove_device(c, 1);  // the current one: the caller handles the session
    remove_device(c, 1);  // out of range: nothing
    remove_device(c, -1);
    EXPECT_EQ(kiv_ipod_device_count(c), 1);
    EXPECT_STREQ(kiv_ipod_device_serial(c, 0), "B");
}

}  // namespace
