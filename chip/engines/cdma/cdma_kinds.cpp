// CDMA's command kinds, by function byte. The sort comes with its generator.
#include "chip/engines/cdma/cdma.h"

namespace zv::chip {

void add_cdma_kinds(KindTable<CdmaCommand> &) {}

}  // namespace zv::chip
