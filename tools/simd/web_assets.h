// The web panel's files, built into the simulator: web_assets.cpp is
// generated from tools/simd/web/ by web/embed.cmake.
#ifndef KIV_SIMD_WEB_ASSETS_H
#define KIV_SIMD_WEB_ASSETS_H

#include <stddef.h>

namespace simd {

struct WebAsset {
    const char *path;
    const char *type;
    const char *data;
    size_t size;
};
extern const WebAsset kWebAssets[];
extern const size_t kWebAssetCount;

}  // namespace simd

#endif
