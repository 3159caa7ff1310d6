// The web screen's page files, built into the stand-in from web/.
#ifndef STARTUPGUI_WEB_ASSETS_H
#define STARTUPGUI_WEB_ASSETS_H

#include <cstddef>
#include <vector>

namespace startupgui {

struct WebAsset {
    const char* path;  // "/index.html"
    const char* type;  // Content-Type
    const char* data;
    std::size_t size;
};

const std::vector<WebAsset>& WebAssets();

}  // namespace startupgui

#endif
