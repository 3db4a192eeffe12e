#include "platform/host_identity.h"

#include <unistd.h>

void localHostName(char *out, size_t size)
{
    if (size == 0)
        return;
    // gethostname need not terminate a name that it cut.
    if (::gethostname(out, size) != 0)
        out[0] = '\0';
    out[size - 1] = '\0';
}

uint32_t currentProcessId() { return static_cast<uint32_t>(::getpid()); }
