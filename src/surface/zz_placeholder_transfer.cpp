// PLACEHOLDER (lead): the transfer draws nothing until the real one lands.
#include "surface/dib.h"

namespace platform::detail {
void HalftoneParallelogram(GdiBitmap&, const POINT[3], const GdiBitmap&, int, int, int, int) {}
}  // namespace platform::detail
