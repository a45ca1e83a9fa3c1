// The library's version, from the generated version header.
#include "kiv_ipod.h"

extern "C" const char *kiv_ipod_library_version(void) {
    return KIV_IPOD_VERSION_TEXT;
}
