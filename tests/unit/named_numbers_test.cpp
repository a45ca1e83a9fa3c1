// The header's named numbers agree with what the library does with them:
// the two play-state numberings translate into each other as named, every
// preference setting names a (type, value) pair that survives the round
// trip through the daemon's numbering, and the version names the build.
#include <gtest/gtest.h>
#include <stdio.h>

#include "handle.h"
#include "link/link.h"
#include "requests/preference.h"

TEST(NamedNumbers, WireStatusTranslatesToTheTrackStateOfTheSameName) {
    const struct {
        kiv_ipod_wire_play_status wire;
        kiv_ipod_track_state track;
    } kSameName[] = {
        {KIV_IPOD_WIRE_STATUS_STOPPED, KIV_IPOD_TRACK_STATE_STOPPED},
        {KIV_IPOD_WIRE_STATUS_FAST_FORWARD, KIV_IPOD_TRACK_STATE_FAST_FORWARD},
        {KIV_IPOD_WIRE_STATUS_REWIND, KIV_IPOD_TRACK_STATE_REWIND},
        {KIV_IPOD_WIRE_STATUS_PLAYING, KIV_IPOD_TRACK_STATE_PLAYING},
        {KIV_IPOD_WIRE_STATUS_PAUSED, KIV_IPOD_TRACK_STATE_PAUSED},
        {KIV_IPOD_WIRE_STATUS_ERROR, KIV_IPOD_TRACK_STATE_ERROR},
    };
    kiv_ipod_client *client = ipod_client_new(-1);
    ASSERT_NE(client, nullptr);
    for (const auto &row : kSameName) {
        client->current_track.state = row.wire;
        EXPECT_EQ(kiv_ipod_current_track_state(client), row.track) << "wire status " << row.wire;
    }
    kiv_ipod_close(client);
}

TEST(NamedNumbers, EverySettingBelongsToItsNamedType) {
    const struct {
        kiv_ipod_preference_setting setting;
        kiv_ipod_preference_type type;
    } kSettings[] = {
        {KIV_IPOD_SETTING_VIDEO_OUT_OFF, KIV_IPOD_PREFERENCE_VIDEO_OUT},
        {KIV_IPOD_SETTING_VIDEO_OUT_ON, KIV_IPOD_PREFERENCE_VIDEO_OUT},
        {KIV_IPOD_SETTING_SCREEN_FILL, KIV_IPOD_PREFERENCE_SCREEN},
        {KIV_IPOD_SETTING_SCREEN_FIT, KIV_IPOD_PREFERENCE_SCREEN},
        {KIV_IPOD_SETTING_SIGNAL_NTSC, KIV_IPOD_PREFERENCE_VIDEO_SIGNAL},
        {KIV_IPOD_SETTING_SIGNAL_PAL, KIV_IPOD_PREFERENCE_VIDEO_SIGNAL},
        {KIV_IPOD_SETTING_LINE_OUT_UNUSED, KIV_IPOD_PREFERENCE_LINE_OUT},
        {KIV_IPOD_SETTING_LINE_OUT_USED, KIV_IPOD_PREFERENCE_LINE_OUT},
        {KIV_IPOD_SETTING_CONNECTION_NONE, KIV_IPOD_PREFERENCE_VIDEO_CONNECTION},
        {KIV_IPOD_SETTING_CONNECTION_COMPOSITE, KIV_IPOD_PREFERENCE_VIDEO_CONNECTION},
        {KIV_IPOD_SETTING_CONNECTION_SVIDEO, KIV_IPOD_PREFERENCE_VIDEO_CONNECTION},
        {KIV_IPOD_SETTING_CONNECTION_COMPONENT, KIV_IPOD_PREFERENCE_VIDEO_CONNECTION},
        {KIV_IPOD_SETTING_CLOSED_CAPTIONS_OFF, KIV_IPOD_PREFERENCE_CLOSED_CAPTIONS},
        {KIV_IPOD_SETTING_CLOSED_CAPTIONS_ON, KIV_IPOD_PREFERENCE_CLOSED_CAPTIONS},
        {KIV_IPOD_SETTING_ASPECT_4_3, KIV_IPOD_PREFERENCE_ASPECT_RATIO},
        {KIV_IPOD_SETTING_ASPECT_16_9, KIV_IPOD_PREFERENCE_ASPECT_RATIO},
        {KIV_IPOD_SETTING_SUBTITLES_OFF, KIV_IPOD_PREFERENCE_SUBTITLES},
        {KIV_IPOD_SETTING_SUBTITLES_ON, KIV_IPOD_PREFERENCE_SUBTITLES},
        {KIV_IPOD_SETTING_ALTERNATE_AUDIO_OFF, KIV_IPOD_PREFERENCE_ALTERNATE_AUDIO},
        {KIV_IPOD_SETTING_ALTERNATE_AUDIO_ON, KIV_IPOD_PREFERENCE_ALTERNATE_AUDIO},
    };
    for (const auto &row : kSettings) {
        // A valid type travels as itself, and the daemon's value of the
        // setting reads back as the same setting of that type.
        EXPECT_EQ(preference_type_to_wire(row.type), static_cast<uint32_t>(row.type));
        uint32_t wire = preference_setting_to_wire(row.setting);
        EXPECT_EQ(preference_setting_from_wire(row.type, wire), static_cast<uint32_t>(row.setting))
            << "setting " << row.setting;
    }
    EXPECT_EQ(preference_setting_from_wire(KIV_IPOD_PREFERENCE_VIDEO_OUT, 2),
              uint32_t{KIV_IPOD_SETTING_NONE});
}

TEST(NamedNumbers, VersionMacrosNameTheBuiltLibrary) {
    char text[32];
    snprintf(text, sizeof text, "%d.%d.%d", KIV_IPOD_VERSION_MAJOR, KIV_IPOD_VERSION_MINOR,
             KIV_IPOD_VERSION_PATCH);
    EXPECT_STREQ(kiv_ipod_library_version(), text);
    EXPECT_STREQ(kiv_ipod_library_version(), KIV_PROJECT_VERSION);
}
