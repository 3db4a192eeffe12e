/* A host program built against an installed libsharefetch. It needs no
 * server: it checks the argument handling every host relies on. */
#include <sharefetch.h>
#include <stdio.h>

int main(void)
{
    char byte;
    int ok = SMBStartup() == 0
          && SMBConnect("127.0.0.1", "NOBODY", "\\\\NOBODY\\share", NULL) == 0
          && SMBReadFile(NULL, 1, &byte) == SMB_READ_BAD_ARGUMENT
          && SMBGetFileSize(NULL) == 0
          && SMBCloseFile(NULL) == 0
          && SMBDisonnect(NULL) == 0
          && SMBShutdown() == 1;
    if (!ok) {
        fprintf(stderr, "sharefetch consumer: unexpected result\n");
        return 1;
    }
    printf("sharefetch consumer: ok\n");
    return 0;
}
