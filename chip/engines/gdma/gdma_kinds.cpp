// GDMA's command kinds, by move mode. Each kind's execute function moves its
// data through the bus. No move mode is modelled yet: the plain, transposing,
// converting, fill, shift and filter moves come with their generators.
#include "chip/engines/gdma/gdma.h"

namespace zv::chip {

void add_gdma_kinds(KindTable<GdmaCommand> &) {}

}  // namespace zv::chip
