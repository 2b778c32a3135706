// Unix-socket addresses for the stand-ins that live on sockets (mailslots,
// named pipes). Internal to the platform layer.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

// A socket address for `path`. Paths beyond the kernel's limit go through the
// folder's descriptor: "/proc/self/fd/<dirfd>/<name>". *dirfd is opened here
// when needed (or given by the caller) and closed by the caller. 0 or -1.
int os_UnixAddress(const std::string &path, struct sockaddr_un &sa, socklen_t &len, int &dirfd);
