// GDMA's command kinds, by move mode. Each kind's execute function moves its
// data through the bus (chip/engines/gdma/moves.cpp).
#include "chip/engines/gdma/gdma.h"
#include "chip/engines/gdma/moves.h"

namespace zv::chip {

void add_gdma_kinds(KindTable<GdmaCommand> &kinds, u32 &filter_count) {
  // Modes 0, 1 and 3 also carry the matrix form and the flat copy.
  kinds.add(0, "move", gdma::execute_move);
  kinds.add(1, "N/C transpose", gdma::execute_move);
  kinds.add(2, "lane shift", gdma::execute_lrn_shift);
  kinds.add(3, "conversion", gdma::execute_move);
  kinds.add(4, "fill", gdma::execute_fill);
  kinds.add(5, "C/W transpose", gdma::execute_cw_transpose);
  kinds.add(7, "filter", [&filter_count](const GdmaCommand &cmd, Bus &bus) {
    gdma::execute_filter(cmd, bus, filter_count);
  });
}

}  // namespace zv::chip
