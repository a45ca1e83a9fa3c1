// Placeholder until event decoding lands.
#include "internal.h"

extern "C" kiv_ipod_event *event_decode(kiv_ipod_client *, const ipod_packet *) { return nullptr; }
extern "C" void kiv_ipod_event_free(kiv_ipod_event *) {}
