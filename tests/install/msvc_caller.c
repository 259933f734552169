/* A program linked by Microsoft's rules (clang for the MSVC target, lld-link, no C runtime)
 * against k7340.lib: its exit status is 0 when K7340_OpenDevice on COM1 succeeded. */
#include "k7340.h"

int Start(void) {
    int code = K7340_OpenDevice(0, 0);
    K7340_CloseDevice(0);
    return code == K7340_OK ? 0 : 10;
}
