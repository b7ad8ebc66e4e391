/* libxcb resolves the host part of a DISPLAY such as localhost:10.0 (ssh's
 * forwarded display) through getaddrinfo, and the program's own definition
 * here comes first: in the static link it stands in for the C library's, in a
 * dynamic one it precedes it.  localhost is always the loopback (RFC 6761), so
 * it is answered here with numeric addresses, in every build and whether or
 * not the system's name service knows the name, as a minimal root without
 * /etc/hosts does not.  Other names go to the build's lookup. */
#include "host_names.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

/* libxcb asks one question and frees the answer before the next. */
const int MAX_ANSWERS = 2;
addrinfo answers[MAX_ANSWERS];
sockaddr_in6 addresses[MAX_ANSWERS];

bool parsePort(const char *service, uint16_t &port) {
    if (!service) {
        port = 0;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long value = strtoul(service, &end, 10);
    if (errno || end == service || *end || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

bool addAnswer(int &count, int family, const char *text, uint16_t port, const addrinfo *hints) {
    if (hints && hints->ai_family != AF_UNSPEC && hints->ai_family != family)
        return false;
    sockaddr_in6 &storage = addresses[count];
    memset(&storage, 0, sizeof storage);
    socklen_t length = 0;
    if (family == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&storage);
        if (inet_pton(AF_INET, text, &v4->sin_addr) != 1)
            return false;
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else {
        if (inet_pton(AF_INET6, text, &storage.sin6_addr) != 1)
            return false;
        storage.sin6_family = AF_INET6;
        storage.sin6_port = htons(port);
        length = sizeof storage;
    }
    addrinfo &answer = answers[count];
    memset(&answer, 0, sizeof answer);
    answer.ai_family = family;
    answer.ai_socktype = hints && hints->ai_socktype ? hints->ai_socktype : SOCK_STREAM;
    answer.ai_protocol = hints ? hints->ai_protocol : 0;
    answer.ai_addrlen = length;
    answer.ai_addr = reinterpret_cast<sockaddr *>(&storage);
    if (count > 0)
        answers[count - 1].ai_next = &answer;
    ++count;
    return true;
}

} // namespace

extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **result) {
    uint16_t port = 0;
    if (!node || !parsePort(service, port))
        return lookUpHostName(node, service, hints, result);
    int count = 0;
    if (strcmp(node, "localhost") == 0) {
        addAnswer(count, AF_INET, "127.0.0.1", port, hints);
        addAnswer(count, AF_INET6, "::1", port, hints);
        if (count == 0)
            return EAI_NONAME;
    } else if (!addAnswer(count, AF_INET, node, port, hints) &&
               !addAnswer(count, AF_INET6, node, port, hints)) {
        return lookUpHostName(node, service, hints, result);
    }
    *result = &answers[0];
    return 0;
}

extern "C" void freeaddrinfo(addrinfo *answer) noexcept {
    if (answer != &answers[0])
        freeHostNameAnswers(answer);
}
