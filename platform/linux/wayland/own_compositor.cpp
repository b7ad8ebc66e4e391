/* The compositor of the program's own user, for a run that no
 * WAYLAND_DISPLAY names one to: its socket lies in the user's runtime
 * directory, where the user's own compositor made it. */
#include "../press.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/un.h>

namespace {

const char WAYLAND_PREFIX[] = "wayland-";

} // namespace

/* A compositor that crashed leaves its socket behind, so only one that
 * answers counts. */
bool findOwnCompositor(const char *dir) {
    DIR *entries = opendir(dir);
    if (!entries)
        return false;
    char best[sizeof(sockaddr_un::sun_path)] = "";
    while (const dirent *entry = readdir(entries)) {
        const char *name = entry->d_name;
        if (strncmp(name, WAYLAND_PREFIX, sizeof WAYLAND_PREFIX - 1) != 0 || strchr(name, '.'))
            continue;
        if (best[0] && strcmp(name, best) >= 0)
            continue;
        char path[sizeof(sockaddr_un::sun_path)];
        int length = snprintf(path, sizeof path, "%s/%s", dir, name);
        if (length > 0 && static_cast<size_t>(length) < sizeof path && ownSocketAnswers(path))
            memcpy(best, name, strlen(name) + 1);
    }
    closedir(entries);
    return best[0] && setenv("WAYLAND_DISPLAY", best, 1) == 0;
}
