/* The TWAIN header must stay usable from C (a source or DSM written in C). */
#include "twain/twain.h"

int twainIdentitySizeInC(void);
int twainCapabilitySizeInC(void);

int twainIdentitySizeInC(void)
{
    return (int)sizeof(TW_IDENTITY);
}

int twainCapabilitySizeInC(void)
{
    return (int)sizeof(TW_CAPABILITY);
}
