#include "ops/LayerCopyPath.h"

#include <cstdlib>

#include "journal/StateFolder.h"

namespace kestrel {

std::string defaultLayerCopyPath() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::string cacheFolder =
        cache != nullptr && cache[0] == '/' ? std::string(cache) : homeFolder() + "/.cache";
    return cacheFolder + "/kestrel/93213_43.tmp";
}

}  // namespace kestrel
