#include "chip/engines/gdma/moves.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace zv::chip::gdma {

namespace {

using i64 = std::int64_t;

constexpr u64 kLocalBase = 0x08000000;
constexpr u64 kLaneBytes = 0x80000;
constexpr u32 kLanes = 64;


// A tensor on one side of a move.
struct Side {
  const char *name;  // "source", "destination", "mask"
  u64 addr = 0;      // element 0 (tagged when local)
  bool local = false;
  u32 format = 0;
  u32 size = 0;  // element bytes
  i64 shape[4] = {1, 1, 1, 1};
  i64 stride[4] = {0, 0, 0, 1};
  // Sub-element shifts of the general move (word 19): row h lies (h * h stride)
  // >> hshift elements on, column w (w * w stride) >> wshift.
  u32 hshift = 0, wshift = 0;
  // Start lane and byte offset of a local side.
  u32 lane = 0;
  u64 offset = 0;

  i64 count() const { return shape[0] * shape[1] * shape[2] * shape[3]; }
};

std::string shape_text(const i64 s[4]) {
  return std::to_string(s[0]) + "x" + std::to_string(s[1]) + "x" + std::to_string(s[2]) + "x" + std::to_string(s[3]);
}

// One command being executed: its descriptor for messages, the bus for data.
class Move {
 public:
  Move(const GdmaCommand &cmd, Bus &bus, const char *kind) : cmd_(cmd), bus_(bus), kind_(kind) {}

  [[noreturn]] void fail(const std::string &what) const {
    fault(std::string("GDMA ") + kind_ + ": " + what + "; window " + cmd_.dump());
  }

  // Fills in a side's element bytes and, for a local side, its lane and offset.
  void prepare(Side &s) const {
    s.size = format_bytes(s.format);
    if (s.size == 0) fail(std::string(s.name) + " format " + std::to_string(s.format) + " has no element size");
    for (int i = 0; i < 4; i++)
      if (s.shape[i] <= 0) fail(std::string(s.name) + " shape " + shape_text(s.shape) + " has an empty extent");
    if (!s.local) return;
    if (s.addr < kLocalBase || s.addr >= kLocalBase + 0x08000000)
      fail(std::string(s.name) + " address " + hex(s.addr) + " is not a local address");
    s.lane = static_cast<u32>((s.addr - kLocalBase) >> 19);
    s.offset = s.addr & (kLaneBytes - 1);
    if (s.lane >= kLanes) fail(std::string(s.name) + " address " + hex(s.addr) + " names lane " + std::to_string(s.lane));
  }

  // Bus address of element (n, c, h, w) of a side, checked to lie inside its
  // lane (local) or above address 0 (global; the bus checks the memory).
  u64 element(const Side &s, i64 n, i64 c, i64 h, i64 w) const {
    if (s.local) {
      const i64 lane_index = s.lane + c;
      const u64 lane = static_cast<u64>(lane_index % kLanes);
      const i64 row = lane_index / kLanes;
      const i64 off = static_cast<i64>(s.offset) +
                      (n * s.stride[0] + row * s.stride[1] + along(s, h, w)) * s.size;
      if (off < 0 || off + s.size > static_cast<i64>(kLaneBytes))
        fail(std::string(s.name) + " element (" + std::to_string(n) + "," + std::to_string(c) + "," +
             std::to_string(h) + "," + std::to_string(w) + ") lies at byte " + std::to_string(off) + " of lane " +
             std::to_string(lane) + ", outside its 512 KB");
      return kLocalBase + lane * kLaneBytes + static_cast<u64>(off);
    }
    const i64 off = (n * s.stride[0] + c * s.stride[1] + along(s, h, w)) * s.size;
    if (off < 0 && static_cast<u64>(-off) > s.addr)
      fail(std::string(s.name) + " element (" + std::to_string(n) + "," + std::to_string(c) + "," +
           std::to_string(h) + "," + std::to_string(w) + ") lies below address 0");
    return s.addr + static_cast<u64>(off);
  }

  // Elements from a plane's start to element (h, w), through the shifts.
  static i64 along(const Side &s, i64 h, i64 w) {
    // A shift of 63 or more leaves the sign (0 or -1), as the 64-bit shift does.
    const u32 hs = s.hshift < 63 ? s.hshift : 63, ws = s.wshift < 63 ? s.wshift : 63;
    return ((h * s.stride[2]) >> hs) + ((w * s.stride[3]) >> ws);
  }

  // Element addresses of a side in its own (n, c, h, w) order.
  std::vector<u64> elements(const Side &s) const {
    std::vector<u64> out;
    out.reserve(static_cast<size_t>(s.count()));
    for (i64 n = 0; n < s.shape[0]; n++)
      for (i64 c = 0; c < s.shape[1]; c++)
        for (i64 h = 0; h < s.shape[2]; h++)
          for (i64 w = 0; w < s.shape[3]; w++) out.push_back(element(s, n, c, h, w));
    return out;
  }

  // Reads elements of `size` bytes, one bus access per run of adjacent ones.
  std::vector<u8> read(const std::vector<u64> &addrs, u32 size) {
    std::vector<u8> data(addrs.size() * size);
    for_runs(addrs, size, [&](size_t first, size_t count) {
      bus_.load(addrs[first], data.data() + first * size, count * size);
    });
    return data;
  }

  // Writes elements; with `add` (float32 only) each is added to what the
  // destination holds.
  void write(const std::vector<u64> &addrs, u32 size, const std::vector<u8> &data, bool add) {
    for_runs(addrs, size, [&](size_t first, size_t count) {
      const u8 *src = data.data() + first * size;
      if (!add) {
        bus_.store(addrs[first], src, count * size);
        return;
      }
      std::vector<float> sum(count), in(count);
      bus_.load(addrs[first], sum.data(), count * 4);
      std::memcpy(in.data(), src, count * 4);
      for (size_t i = 0; i < count; i++) sum[i] = sum[i] + in[i];
      bus_.store(addrs[first], sum.data(), count * 4);
    });
  }

  // Strides of a side from its four stride fields.
  void strides_from(Side &s, const Field fields[4]) const {
    for (int i = 0; i < 4; i++) s.stride[i] = static_cast<std::int32_t>(cmd_.get(fields[i]));
  }

  const GdmaCommand &cmd() const { return cmd_; }

 private:
  template <class F>
  static void for_runs(const std::vector<u64> &addrs, u32 size, F f) {
    size_t i = 0;
    while (i < addrs.size()) {
      size_t j = i + 1;
      while (j < addrs.size() && addrs[j] == addrs[j - 1] + size) j++;
      f(i, j - i);
      i = j;
    }
  }

  const GdmaCommand &cmd_;
  Bus &bus_;
  const char *kind_;
};

void shape_from(const GdmaCommand &cmd, const Field fields[4], i64 shape[4]) {
  for (int i = 0; i < 4; i++) shape[i] = cmd.get(fields[i]);
}

u64 source_address(const GdmaCommand &cmd) {
  return cmd.get(field::kSrcAddrLow) | u64{cmd.get(field::kSrcAddrHigh)} << 32;
}
u64 destination_address(const GdmaCommand &cmd) {
  return cmd.get(field::kDstAddrLow) | u64{cmd.get(field::kDstAddrHigh)} << 32;
}

bool source_local(u32 direction) { return direction == 1 || direction == 3; }
bool destination_local(u32 direction) { return direction == 0 || direction == 3; }

i64 round_up(i64 v, i64 unit) { return (v + unit - 1) / unit * unit; }

// Strides the engine derives when the descriptor gives none: dense for a
// global side; for a local side a channel plane rounded up to 32 elements and
// a batch stride of one plane per row of lanes the channels occupy.
void derive_strides(Side &s) {
  const i64 plane = s.shape[2] * s.shape[3];
  s.stride[3] = 1;
  s.stride[2] = s.shape[3];
  if (s.local) {
    s.stride[1] = round_up(plane, 32);
    s.stride[0] = s.stride[1] * ((s.lane + s.shape[1] + kLanes - 1) / kLanes);
  } else {
    s.stride[1] = plane;
    s.stride[0] = plane * s.shape[1];
  }
}

void check_result_add(const Move &m, const Side &dst) {
  if (m.cmd().get(field::kResultAdd) && dst.format != kFloat32)
    m.fail("result add into format " + std::to_string(dst.format) + " (only float32 adds)");
}

// ---- Matrix form: a global matrix and its column sections in the lanes ----

void matrix_move(const GdmaCommand &cmd, Bus &bus) {
  Move m(cmd, bus, "matrix move");
  const u32 direction = cmd.get(field::kDirection);
  if (direction > 1) m.fail("direction " + std::to_string(direction) + " (a matrix moves global <-> local)");
  const bool transpose = cmd.get(field::kMode) == 1;
  const bool load = direction == 0;
  Side global{"global matrix"}, local{"local sections"};
  global.addr = load ? source_address(cmd) : destination_address(cmd);
  local.addr = load ? destination_address(cmd) : source_address(cmd);
  local.local = true;
  global.format = local.format = cmd.get(field::kSrcFormat);
  shape_from(cmd, load ? field::kSrcShape : field::kDstShape, global.shape);
  shape_from(cmd, load ? field::kDstShape : field::kSrcShape, local.shape);
  m.prepare(global);
  m.prepare(local);
  const i64 rows = global.shape[2], cols = global.shape[3];
  const i64 width = local.shape[3], sections = local.shape[1];
  const i64 cut = transpose ? rows : cols;
  if (global.shape[0] != 1 || global.shape[1] != 1 || local.shape[2] != 1 ||
      local.shape[0] != (transpose ? cols : rows) || sections != (cut + width - 1) / width)
    m.fail("local shape " + shape_text(local.shape) + " does not hold global matrix " + shape_text(global.shape) +
           (transpose ? " transposed" : ""));
  if (cmd.get(field::kStridesGiven)) {
    m.strides_from(load ? global : local, field::kSrcStride);
    m.strides_from(load ? local : global, field::kDstStride);
  } else {
    // Rows of a section padded to 128 bytes; global rows dense.
    const i64 row = round_up(width, 128 / local.size);
    local.stride[0] = row * ((local.lane + sections + kLanes - 1) / kLanes);
    local.stride[1] = local.stride[2] = row;
    local.stride[3] = 1;
    global.stride[0] = global.stride[1] = 0;
    global.stride[2] = cols;
    global.stride[3] = 1;
  }
  std::vector<u64> g, l;
  g.reserve(static_cast<size_t>(rows * cols));
  l.reserve(static_cast<size_t>(rows * cols));
  for (i64 r = 0; r < rows; r++)
    for (i64 k = 0; k < cols; k++) {
      g.push_back(m.element(global, 0, 0, r, k));
      // Section j of the cut axis lies in lane (start + j); the other axis
      // gives the row within the section.
      const i64 along = transpose ? r : k, across = transpose ? k : r;
      l.push_back(m.element(local, across, along / width, 0, along % width));
    }
  const Side &dst = load ? local : global;
  check_result_add(m, dst);
  const bool add = cmd.get(field::kResultAdd);
  if (load)
    m.write(l, local.size, m.read(g, global.size), add);
  else
    m.write(g, global.size, m.read(l, local.size), add);
}

// ---- Flat copy: count elements between two bus addresses ----

void flat_copy(const GdmaCommand &cmd, Bus &bus) {
  Move m(cmd, bus, "flat copy");
  const u32 size = format_bytes(cmd.get(field::kSrcFormat));
  if (size == 0) m.fail("format " + std::to_string(cmd.get(field::kSrcFormat)) + " has no element size");
  const u64 bytes = u64{cmd.get(field::kCount)} * size;
  const u64 src = source_address(cmd), dst = destination_address(cmd);
  // In local memory a flat range must stay inside one lane.
  for (u64 a : {src, dst})
    if (a >= kLocalBase && a < kLocalBase + kLanes * kLaneBytes && (a - kLocalBase) % kLaneBytes + bytes > kLaneBytes)
      m.fail(std::to_string(bytes) + " bytes at " + hex(a) + " run past the end of a lane");
  std::vector<u8> data(bytes);
  bus.load(src, data.data(), bytes);
  bus.store(dst, data.data(), bytes);
}

}  // namespace

u32 format_bytes(u32 format) {
  switch (format) {
    case 0:
    case 8:
      return 4;
    case 1:
    case 4:
      return 2;
    case 2:
    case 3:
      return 1;
    default:
      return 0;
  }
}

void convert_element(u32 from, const u8 *src, u32 to, u8 *dst) {
  // Every value of the three formats is exact as a double.
  double v;
  if (from == kFloat32) {
    float f;
    std::memcpy(&f, src, 4);
    v = f;
  } else if (from == kUint8) {
    v = src[0];
  } else if (from == kInt8) {
    v = static_cast<std::int8_t>(src[0]);
  } else {
    fault("GDMA conversion from format " + std::to_string(from) + " is not modelled");
  }
  if (to == kFloat32) {
    const float f = static_cast<float>(v);
    std::memcpy(dst, &f, 4);
    return;
  }
  double lo, hi;
  if (to == kUint8) {
    lo = 0, hi = 255;
  } else if (to == kInt8) {
    lo = -128, hi = 127;
  } else {
    fault("GDMA conversion to format " + std::to_string(to) + " is not modelled");
  }
  double r = std::isnan(v) ? 0.0 : std::round(v);  // half away from zero
  r = r < lo ? lo : r > hi ? hi : r;
  const int i = static_cast<int>(r);
  dst[0] = static_cast<u8>(i);
}

void execute_move(const GdmaCommand &cmd, Bus &bus) {
  if (cmd.get(field::kMatrix)) return matrix_move(cmd, bus);
  if (cmd.get(field::kFlatCopy)) return flat_copy(cmd, bus);
  const u32 mode = cmd.get(field::kMode);
  Move m(cmd, bus, mode == 1 ? "N/C transpose" : mode == 3 ? "conversion" : "move");
  const bool transpose = mode == 1, convert = mode == 3;
  const u32 direction = cmd.get(field::kDirection);
  const bool general = cmd.get(field::kLayout) == 0;  // two formats and two shapes
  const bool strides = cmd.get(field::kStridesGiven);
  Side src{"source"}, dst{"destination"};
  src.addr = source_address(cmd);
  dst.addr = destination_address(cmd);
  src.local = source_local(direction);
  dst.local = destination_local(direction);
  src.format = cmd.get(field::kSrcFormat);
  shape_from(cmd, field::kSrcShape, src.shape);
  if (general) {
    if (!strides) m.fail("a move with two formats gives its strides");
    src.hshift = cmd.get(field::kSrcHShift);
    src.wshift = cmd.get(field::kSrcWShift);
    dst.hshift = cmd.get(field::kDstHShift);
    dst.wshift = cmd.get(field::kDstWShift);
    dst.format = cmd.get(field::kDstFormat);
    if (transpose) {
      // The destination is the source with N and C exchanged.
      dst.shape[0] = src.shape[1], dst.shape[1] = src.shape[0], dst.shape[2] = src.shape[2], dst.shape[3] = src.shape[3];
    } else {
      shape_from(cmd, field::kDstShape, dst.shape);
    }
  } else {
    dst.format = src.format;
    for (int i = 0; i < 4; i++) dst.shape[i] = src.shape[i];
    if (transpose) std::swap(dst.shape[0], dst.shape[1]);
  }
  if (convert && src.format == dst.format) m.fail("conversion between equal formats " + std::to_string(src.format));
  if (!convert && src.format != dst.format)
    m.fail("formats " + std::to_string(src.format) + " and " + std::to_string(dst.format) + " differ outside a conversion");
  m.prepare(src);
  m.prepare(dst);
  if (strides) {
    m.strides_from(src, field::kSrcStride);
    m.strides_from(dst, field::kDstStride);
  } else {
    derive_strides(src);
    derive_strides(dst);
  }
  if (src.count() != dst.count())
    m.fail("source " + shape_text(src.shape) + " and destination " + shape_text(dst.shape) + " differ in size");
  check_result_add(m, dst);

  const std::vector<u64> from = m.elements(src);
  std::vector<u64> to;
  if (transpose) {
    // Source element (n, c, h, w) goes to destination element (c, n, h, w).
    to.reserve(from.size());
    for (i64 n = 0; n < src.shape[0]; n++)
      for (i64 c = 0; c < src.shape[1]; c++)
        for (i64 h = 0; h < src.shape[2]; h++)
          for (i64 w = 0; w < src.shape[3]; w++) to.push_back(m.element(dst, c, n, h, w));
  } else {
    to = m.elements(dst);
  }
  std::vector<u8> data = m.read(from, src.size);
  if (convert) {
    std::vector<u8> out(to.size() * dst.size);
    for (size_t i = 0; i < to.size(); i++)
      convert_element(src.format, data.data() + i * src.size, dst.format, out.data() + i * dst.size);
    data.swap(out);
  }
  m.write(to, dst.size, data, cmd.get(field::kResultAdd));
}

void execute_lrn_shift(const GdmaCommand &cmd, Bus &bus) {
  Move m(cmd, bus, "lane shift");
  const u32 direction = cmd.get(field::kDirection);
  if (!cmd.get(field::kStridesGiven)) m.fail("a lane shift gives its strides");
  Side src{"source"}, dst{"destination"};
  src.addr = source_address(cmd);
  dst.addr = destination_address(cmd);
  src.local = source_local(direction);
  dst.local = destination_local(direction);
  src.format = dst.format = cmd.get(field::kSrcFormat);
  shape_from(cmd, field::kSrcShape, src.shape);
  for (int i = 0; i < 4; i++) dst.shape[i] = src.shape[i];
  m.prepare(src);
  m.prepare(dst);
  m.strides_from(src, field::kSrcStride);
  m.strides_from(dst, field::kDstStride);
  check_result_add(m, dst);
  const std::vector<u64> from = m.elements(src), to = m.elements(dst);
  m.write(to, dst.size, m.read(from, src.size), cmd.get(field::kResultAdd));
}

void execute_fill(const GdmaCommand &cmd, Bus &bus) {
  Move m(cmd, bus, "fill");
  if (!cmd.get(field::kStridesGiven)) m.fail("a fill gives its strides");
  Side dst{"destination"};
  dst.addr = destination_address(cmd);
  dst.local = destination_local(cmd.get(field::kDirection));
  dst.format = cmd.get(field::kSrcFormat);
  shape_from(cmd, field::kDstShape, dst.shape);
  m.prepare(dst);
  m.strides_from(dst, field::kDstStride);
  const std::vector<u64> to = m.elements(dst);
  const u32 constant = cmd.get(field::kFillValue);
  std::vector<u8> data(to.size() * dst.size);
  for (size_t i = 0; i < to.size(); i++) std::memcpy(data.data() + i * dst.size, &constant, dst.size);
  m.write(to, dst.size, data, false);
}

void execute_cw_transpose(const GdmaCommand &cmd, Bus &bus) {
  Move m(cmd, bus, "C/W transpose");
  if (!cmd.get(field::kStridesGiven)) m.fail("a C/W transpose gives its strides");
  const u32 direction = cmd.get(field::kDirection);
  Side src{"source"}, dst{"destination"};
  src.addr = source_address(cmd);
  dst.addr = destination_address(cmd);
  src.local = source_local(direction);
  dst.local = destination_local(direction);
  src.format = dst.format = cmd.get(field::kSrcFormat);
  shape_from(cmd, field::kSrcShape, src.shape);
  shape_from(cmd, field::kDstShape, dst.shape);
  m.prepare(src);
  m.prepare(dst);
  const i64 channels = src.shape[1], width = src.shape[3];
  if (src.shape[0] != 1 || src.shape[2] != 1 || dst.shape[0] != 1 || dst.shape[2] != 1 || dst.shape[1] != width ||
      dst.shape[3] != channels)
    m.fail("shapes " + shape_text(src.shape) + " and " + shape_text(dst.shape) + " are not 1xCx1xW and 1xWx1xC");
  // N and H are 1: only the c and w strides take part.
  src.stride[1] = static_cast<std::int32_t>(cmd.get(field::kSrcStride[1]));
  src.stride[3] = static_cast<std::int32_t>(cmd.get(field::kSrcStride[3]));
  dst.stride[1] = static_cast<std::int32_t>(cmd.get(field::kDstStride[1]));
  dst.stride[3] = static_cast<std::int32_t>(cmd.get(field::kDstStride[3]));
  src.stride[0] = src.stride[2] = dst.stride[0] = dst.stride[2] = 0;
  std::vector<u64> from, to;
  for (i64 c = 0; c < channels; c++)
    for (i64 w = 0; w < width; w++) {
      from.push_back(m.element(src, 0, c, 0, w));
      to.push_back(m.element(dst, 0, w, 0, c));
    }
  m.write(to, dst.size, m.read(from, src.size), false);
}

void execute_filter(const GdmaCommand &cmd, Bus &bus, u32 &count) {
  Move m(cmd, bus, "filter");
  if (cmd.get(field::kDirection) != 1) m.fail("direction " + std::to_string(cmd.get(field::kDirection)) + " (a filter moves local to global)");
  Side src{"source"}, mask{"mask"};
  src.addr = source_address(cmd);
  mask.addr = cmd.get(field::kMaskAddr);
  src.local = mask.local = true;
  src.format = mask.format = kFloat32;
  shape_from(cmd, field::kSrcShape, src.shape);
  for (int i = 0; i < 4; i++) mask.shape[i] = src.shape[i];
  m.prepare(src);
  m.prepare(mask);
  if (cmd.get(field::kCount) != static_cast<u64>(src.count()))
    m.fail("element count " + std::to_string(cmd.get(field::kCount)) + " is not that of shape " + shape_text(src.shape));
  // Both are EU-aligned float32 tensors.
  derive_strides(src);
  derive_strides(mask);
  const std::vector<u8> values = m.read(m.elements(src), 4);
  const std::vector<u8> selectors = m.read(m.elements(mask), 4);
  std::vector<u8> kept;
  for (size_t i = 0; i < selectors.size() / 4; i++) {
    float f;
    std::memcpy(&f, selectors.data() + 4 * i, 4);
    if (f != 0.0f) kept.insert(kept.end(), values.begin() + 4 * i, values.begin() + 4 * i + 4);
  }
  bus.store(destination_address(cmd), kept.data(), kept.size());
  count = static_cast<u32>(kept.size() / 4) << 2;
}

}  // namespace zv::chip::gdma
