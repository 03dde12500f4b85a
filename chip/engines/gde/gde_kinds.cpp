// GDE's command kinds, by item type. The gathers come with their generator.
#include "chip/engines/gde/gde.h"

namespace zv::chip {

void add_gde_kinds(KindTable<GdeCommand> &) {}

}  // namespace zv::chip
