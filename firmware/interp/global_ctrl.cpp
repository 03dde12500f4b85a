// The global controllers' entries of the interpreter's global map. A global
// group's layer type indexes this map; an empty entry ends the run with an
// assertion naming the type.
#include "interp/fullnet.h"
#include "interp/glb_shape_ctrl.h"
#include "interp/glb_cnn_ctrl.h"
#include "interp/glb_fc_ctrl.h"
#include "interp/glb_select_ctrl.h"

void dynamic_global_func_map_fill(dynamic_global_ctrl_t *map) {
  // Global controllers register here, one entry per layer type they serve:
  //   map[<layer type>] = dynamic_glb_<layer>_layer_ctrl;
  dynamic_glb_shape_map_fill(map);
  dynamic_glb_cnn_map_fill(map);
  dynamic_glb_fc_map_fill(map);
  dynamic_glb_select_map_fill(map);
}
