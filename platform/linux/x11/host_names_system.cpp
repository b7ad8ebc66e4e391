/* The program defines getaddrinfo itself, so the C library's is the next
 * definition in the search order (a sanitizer's interceptor may come first;
 * it passes the call on). */
#include "host_names.h"

#include <dlfcn.h>
#include <netdb.h>

namespace {

using GetAddrInfo = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
using FreeAddrInfo = void (*)(addrinfo *);

} // namespace

int lookUpHostName(const char *node, const char *service, const addrinfo *hints,
                   addrinfo **result) {
    auto next = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return next ? next(node, service, hints, result) : EAI_FAIL;
}

void freeHostNameAnswers(addrinfo *answers) {
    auto next = reinterpret_cast<FreeAddrInfo>(dlsym(RTLD_NEXT, "freeaddrinfo"));
    if (next)
        next(answers);
}
