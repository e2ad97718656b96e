#include "ops/LayerCopyPath.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel {

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) {
        return user->pw_dir;
    }
    return "/tmp";
}

}  // namespace

std::string defaultLayerCopyPath() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const std::string cacheFolder =
        cache != nullptr && cache[0] == '/' ? std::string(cache) : homeFolder() + "/.cache";
    return cacheFolder + "/kestrel/93213_43.tmp";
}

}  // namespace kestrel
