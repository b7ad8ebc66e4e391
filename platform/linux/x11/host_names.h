#ifndef HOST_NAMES_H
#define HOST_NAMES_H

/* Host names other than localhost and numeric addresses, looked up as the
 * build allows: a dynamically linked program asks the system's name service,
 * a static one cannot and finds none.  Same contract as getaddrinfo and
 * freeaddrinfo. */

struct addrinfo;

int lookUpHostName(const char *node, const char *service, const addrinfo *hints, addrinfo **result);
void freeHostNameAnswers(addrinfo *answers);

#endif
