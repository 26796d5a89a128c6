/* Deprecated include path, kept for one release: include
 * <polarmosaic/mosaic_host.h> instead. Installed as include/mosaic_host.h;
 * will be removed in the next minor version. */
#ifndef POLARMOSAIC_NO_DEPRECATED_INCLUDE_NOTE
#pragma message("<mosaic_host.h> is deprecated: include <polarmosaic/mosaic_host.h>")
#endif
#include <polarmosaic/mosaic_host.h>
