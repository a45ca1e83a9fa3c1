#include "device.h"

namespace simd {

Value Device::record(size_t audio_count) const {
    return Value::hash({
        {"serial", Value::string(kSerial)},
        {"ipod_id", Value::integer(kIpodId)},
        {"name", Value::string("Demo iPod")},
        {"version", Value::string("1.2.1")},
        {"product_id", Value::integer(0x1261)},
        {"extended", Value::integer(extended)},
        {"authenticated", Value::integer(authenticated)},
        {"ready", Value::integer(ready)},
        {"audio_count", Value::integer(static_cast<int32_t>(audio_count))},
        {"support_itunes_db", Value::integer(1)},
        {"sound_card_id", Value::integer(1)},
        {"port", Value::integer(0)},
        {"used", Value::integer(1)},
        {"type", Value::integer(1)},
    });
}

Value Device::list(size_t audio_count) const {
    Value list = Value::array();
    if (present) list.items.push_back(record(audio_count));
    return list;
}

const std::vector<ReconnectStep> &reconnect_timeline() {
    static const std::vector<ReconnectStep> steps = {
        {300, IPOD_EVENT_connected_ipod, [](Device &d) { d.present = true; }},
        {400, IPOD_EVENT_authenticated, [](Device &d) { d.authenticated = 1; }},
        {500, IPOD_EVENT_mode_changed, [](Device &d) { d.extended = 1; }},
        {600, IPOD_EVENT_ipod_ready, [](Device &d) { d.ready = 1; }},
    };
    return steps;
}

}  // namespace simd
