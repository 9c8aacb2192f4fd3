// camac_private_block: blocks in one adapter request, for camac758.
#include "camac_private.h"

extern "C" CAMAC_PRIVATE_API int CAMAC_CALL camac_private_block(int, camac_private_action*, int, int, unsigned* error) {
    if (error) *error = 0;
    return -1;  // no path has a block request yet: the caller goes action by action
}
