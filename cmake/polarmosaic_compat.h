/* Deprecated include path, kept for one release: include
 * <polarmosaic/polarmosaic.h> instead. Installed as include/polarmosaic.h;
 * will be removed in the next minor version. */
#ifndef POLARMOSAIC_NO_DEPRECATED_INCLUDE_NOTE
#pragma message("<polarmosaic.h> is deprecated: include <polarmosaic/polarmosaic.h>")
#endif
#include <polarmosaic/polarmosaic.h>
