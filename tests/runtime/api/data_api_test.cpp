// The data-movement APIs end to end: records through the host driver and the
// ring, result codes, device memory read back against plain references, on
// three deferred seeds with the happens-before checker and on the ARM image.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_checks.h"
#include "card.h"
#include "cmd/cdma_sort.h"
#include "cmd/memory_fill_copy.h"
#include "cmd/tensor_shape.h"
#include "fw_test.h"
#include "layers/data/concat.h"
#include "layers/data/copy.h"
#include "layers/data/pad.h"
#include "layers/data/rearrange.h"
#include "layers/data/stride_slice.h"
#include "layers/data/tile.h"
#include "layers/data/transpose.h"
#include "ref/data_ref.h"
#include "ref/permute_ref.h"
#include "runtime/regs.h"

namespace zv::test {
namespace {

using host::Card;
using ref::Bytes;
using ref::Shape;

constexpr uint64_t kIn = 0x101000000ull;
constexpr uint64_t kIn2 = 0x101400000ull;
constexpr uint64_t kOut = 0x101800000ull;
constexpr uint64_t kOut2 = 0x101c00000ull;
constexpr uint64_t kBuf = 0x102000000ull;
constexpr uint64_t kBuf2 = 0x102400000ull;
constexpr uint64_t kArrays = 0x108000000ull;  // arrays named by the core's address

// The core's address of a device address in its window.
uint32_t core_addr(uint64_t device) { return uint32_t(DDR_ARM_BASE + (device - GLOBAL_MEM_START_ADDR)); }

Bytes pattern(size_t n, unsigned seed) {
  Bytes v(n);
  for (size_t i = 0; i < n; i++) v[i] = uint8_t(i * 11 + seed * 7 + (i >> 7));
  return v;
}

// Words of a record built byte by byte (records of variable length).
std::vector<uint32_t> words_of(const Bytes &b) {
  std::vector<uint32_t> w((b.size() + 3) / 4);
  std::memcpy(w.data(), b.data(), b.size());
  return w;
}
template <class T>
void append(Bytes &b, const T &v) {
  const size_t at = b.size();
  b.resize(at + sizeof v);
  std::memcpy(&b[at], &v, sizeof v);
}

// One API sample: writes its inputs, sends the record, checks what it wrote.
struct Sample {
  const char *what;
  uint32_t id;
  std::function<std::vector<uint32_t>(Card &)> setup;  // writes inputs, returns the payload
  std::function<void(Card &)> check;
};

void run_samples(const std::vector<Sample> &samples) {
  for_each_api_card([&](host::Card &card) {
    for (const Sample &s : samples) {
      SCOPED_TRACE(std::string("API ") + std::to_string(s.id) + ", " + s.what);
      const std::vector<uint32_t> payload = s.setup(card);
      ASSERT_TRUE(AnswerOk(card, card.send(s.id, payload)));
      EXPECT_TRUE(card.chip().engines.findings().empty()) << card.chip().engines.findings().front();
      s.check(card);
    }
  });
}

TEST(DataApi, CopiesConcatsSlicesAndSplits) {
  std::vector<Sample> samples;
  {  // 93: rows of floats
    const Bytes src = pattern(3 * 9 * 4, 1);
    Bytes want = pattern(3 * 7 * 4, 2);
    const Bytes before = want;
    ref::copy_rows(src, want, 3, 9, 7, 6, 4);
    samples.push_back({"3 rows of 6", 93,
                       [=](Card &c) {
                         put(c, kIn, src), put(c, kOut, before);
                         return payload_of(zv_api_global_memcpy_t{kIn, kOut, 3, 9, 7, 6});
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 94: crop
    const Shape in_shape = {2, 3, 4, 5}, offset = {1, 1, 1, 2}, out_shape = {1, 2, 3, 3};
    const Bytes in = pattern(ref::count_of(in_shape) * 4, 3);
    const Bytes want = ref::crop(in, in_shape, offset, out_shape, 4);
    zv_api_crop_t rec = {kIn, kOut, {1, 1, 1, 2}, {1, 2, 3, 3}, {2, 3, 4, 5}};
    samples.push_back({"a window", 94,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 91: float concat along c
    const Shape a = {2, 2, 3, 2}, b = {2, 1, 3, 2};
    const Bytes ia = pattern(ref::count_of(a) * 4, 4), ib = pattern(ref::count_of(b) * 4, 5);
    const Bytes want = ref::concat({ia, ib}, {a, b}, 1, 4);
    zv_api_concat_t rec = {};
    rec.inputs[0] = kIn, rec.inputs[1] = kIn2, rec.output = kOut;
    for (int i = 0; i < 4; i++) rec.input_shapes[0][i] = a[i], rec.input_shapes[1][i] = b[i];
    rec.output_shape[0] = 2, rec.output_shape[1] = 3, rec.output_shape[2] = 3, rec.output_shape[3] = 2;
    rec.input_num = 2, rec.axis = 1;
    samples.push_back({"two inputs along c", 91,
                       [=](Card &c) {
                         put(c, kIn, ia), put(c, kIn2, ib);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 92: 8-bit concat along the batch, whole groups
    const Bytes pa = pattern(4 * 6, 6), pb = pattern(3 * 6, 7);
    const Bytes fa = ref::to_4n(pa, 4, 6), fb = ref::to_4n(pb, 3, 6, 0x5c);
    Bytes want = fa;
    want.insert(want.end(), fb.begin(), fb.end());
    zv_api_concat_t rec = {};
    rec.inputs[0] = kIn, rec.inputs[1] = kIn2, rec.output = kOut;
    const int sa[4] = {4, 1, 2, 3}, sb[4] = {3, 1, 2, 3};
    for (int i = 0; i < 4; i++) rec.input_shapes[0][i] = sa[i], rec.input_shapes[1][i] = sb[i];
    rec.output_shape[0] = 7, rec.output_shape[1] = 1, rec.output_shape[2] = 2, rec.output_shape[3] = 3;
    rec.input_num = 2, rec.axis = 0;
    samples.push_back({"4N along the batch", 92,
                       [=](Card &c) {
                         put(c, kIn, fa), put(c, kIn2, fb);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  for (int fix8b = 0; fix8b < 2; fix8b++) {  // 115 and 143: slices
    const Shape shape = {2, 3, 4, 2};
    const int axis = fix8b ? 1 : 2;
    const std::vector<int> sizes = fix8b ? std::vector<int>{1, 2} : std::vector<int>{3, 1};
    const size_t size = fix8b ? 1 : 4;
    const Bytes in = pattern(ref::count_of(shape) * size, 8);
    const std::vector<Bytes> want = ref::split(in, shape, axis, sizes, size);
    Bytes rec;
    append(rec, kIn), append(rec, uint32_t(2)), append(rec, kOut), append(rec, kOut2);
    for (int v : {2, 3, 4, 2, axis}) append(rec, int32_t(v));
    for (int v : sizes) append(rec, int32_t(v));
    samples.push_back({fix8b ? "bytes along c" : "floats along h", fix8b ? 143u : 115u,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return words_of(rec);
                       },
                       [=](Card &c) {
                         EXPECT_TRUE(c.read(kOut, want[0].size()) == want[0]);
                         EXPECT_TRUE(c.read(kOut2, want[1].size()) == want[1]);
                       }});
  }
  {  // 146: 8-bit split of a 4N tensor along the batch into 1N outputs
    const Shape shape = {6, 2, 1, 2};
    const Bytes plain = pattern(ref::count_of(shape), 9);
    const std::vector<Bytes> want = ref::split(plain, shape, 0, {2, 4}, 1);
    zv_api_split_tf_fix8b_t rec = {};
    rec.input = kIn, rec.buffer = kBuf, rec.buffer2 = kBuf2, rec.shape = core_addr(kArrays);
    rec.shape_size = 4, rec.in_store_mode = FW_STORE_MODE_4N, rec.out_store_mode = FW_STORE_MODE_1N, rec.axis = 0;
    rec.split_sizes[0] = 2, rec.split_sizes[1] = 4, rec.split_num = 2;
    rec.outputs[0] = kOut, rec.outputs[1] = kOut2;
    samples.push_back({"4N along the batch into 1N", 146,
                       [=](Card &c) {
                         const int32_t s[4] = {6, 2, 1, 2};
                         c.write(kArrays, s, sizeof s);
                         put(c, kIn, ref::to_4n(plain, 6, 4));
                         return payload_of(rec);
                       },
                       [=](Card &c) {
                         EXPECT_TRUE(c.read(kOut, want[0].size()) == want[0]);
                         EXPECT_TRUE(c.read(kOut2, want[1].size()) == want[1]);
                       }});
  }
  run_samples(samples);
}

TEST(DataApi, RearrangesTilesAndPads) {
  std::vector<Sample> samples;
  for (uint32_t id : {159u, 160u}) {  // channel shuffle
    const Shape shape = {2, 6, 2, 2};
    const Bytes in = pattern(ref::count_of(shape) * 4, 10);
    const Bytes want = ref::shuffle_channels(in, shape, 3, 4, Bytes(in.size(), 0));
    samples.push_back({"6 channels in 3 groups", id,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(zv_api_shuffle_channel_forward_t{kIn, kOut, 2, 6, 2, 2, 3});
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 120: 8-bit batch to space, 1N in, 4N out, cropped
    const Shape shape = {8, 1, 3, 2};
    const std::vector<int> crops = {1, 1, 0, 1};
    const Bytes plain = pattern(ref::count_of(shape), 11);
    const Bytes want = ref::batch_to_space(plain, shape, 2, 2, crops, 1);  // (2, 1, 4, 3)
    zv_api_batch2space_fix8b_forward_t rec = {};
    rec.input_addr = kIn, rec.output_addr = kOut, rec.buffer_addr = kBuf, rec.buffer2_addr = kBuf2;
    rec.shape[0] = 8, rec.shape[1] = 1, rec.shape[2] = 3, rec.shape[3] = 2;
    std::memset(rec.unused, 0xab, sizeof rec.unused);
    rec.input_dim = 4, rec.in_store_mode = FW_STORE_MODE_1N, rec.out_store_mode = FW_STORE_MODE_4N;
    rec.block[0] = 2, rec.block[1] = 2;
    for (int i = 0; i < 4; i++) rec.crops[i] = crops[i];
    samples.push_back({"1N to 4N, cropped", 120,
                       [=](Card &c) {
                         put(c, kIn, plain);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(ref::from_4n(c.read(kOut, 4 * 12), 2, 12) == want); }});
  }
  {  // 121: 8-bit space to batch, 4N in, 1N out, padded
    const Shape shape = {3, 1, 3, 2};
    const Bytes plain = pattern(ref::count_of(shape), 12);
    const int pads[4][2] = {{0, 0}, {0, 0}, {1, 0}, {1, 1}};
    const Bytes padded = ref::pad(plain, shape, pads, 0, Bytes{0}, 1);
    const Bytes want = ref::space_to_batch(padded, {3, 1, 4, 4}, 2, 2, 1);
    zv_api_space2batch_fix8b_forward_t rec = {};
    rec.input = kIn, rec.output = kOut, rec.buffer = kBuf;
    rec.shape[0] = 3, rec.shape[1] = 1, rec.shape[2] = 3, rec.shape[3] = 2;
    rec.input_dim = 4, rec.in_store_mode = FW_STORE_MODE_4N, rec.out_store_mode = FW_STORE_MODE_1N;
    rec.block[0] = 2, rec.block[1] = 2;
    rec.pads[0] = 1, rec.pads[1] = 0, rec.pads[2] = 1, rec.pads[3] = 1;
    samples.push_back({"4N to 1N, padded", 121,
                       [=](Card &c) {
                         put(c, kIn, ref::to_4n(plain, 3, 6));
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 116: float tile of two axes through the buffer
    const Shape shape = {2, 3, 2, 2};
    const std::vector<int> coeff = {1, 2, 1, 3};
    const Bytes in = pattern(ref::count_of(shape) * 4, 13);
    const Bytes want = ref::tile(in, shape, coeff, 0, 4);
    zv_api_tile_forward_t rec = {};
    rec.input = kIn, rec.buffer = kBuf, rec.output = kOut;
    for (int i = 0; i < 4; i++) rec.shape[i] = shape[i], rec.tile_coeff[i] = coeff[i];
    rec.input_dim = 4;
    samples.push_back({"(1, 2, 1, 3)", 116,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 119: 8-bit tile of the batch, 4N to 4N (buffer and output swap places in the call)
    const Shape shape = {3, 2, 1, 2};
    const std::vector<int> coeff = {2, 1, 1, 1};
    const Bytes plain = pattern(ref::count_of(shape), 14);
    const Bytes want = ref::tile(plain, shape, coeff, 1, 1);
    zv_api_tile_fix8b_forward_t rec = {};
    rec.input = kIn, rec.buffer = kBuf, rec.output = kOut;
    for (int i = 0; i < 4; i++) rec.shape[i] = shape[i], rec.tile_coeff[i] = coeff[i];
    rec.input_dim = 4, rec.src_format = FW_STORE_MODE_4N, rec.dst_format = FW_STORE_MODE_4N, rec.flag = 1;
    samples.push_back({"batch twice, each item", 119,
                       [=](Card &c) {
                         put(c, kIn, ref::to_4n(plain, 3, 4));
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(ref::from_4n(c.read(kOut, 8 * 4), 6, 4) == want); }});
  }
  {  // 144: float pad, reflect
    const Shape shape = {1, 2, 3, 4};
    const Bytes in = pattern(ref::count_of(shape) * 4, 15);
    const int pads[4][2] = {{0, 0}, {1, 0}, {1, 1}, {2, 1}};
    zv_api_pad_t rec = {kIn, kOut, 1, 2, 3, 4, {{0, 0}, {1, 0}, {1, 1}, {2, 1}}, 0.0f, 1};
    const Bytes want = ref::pad(in, shape, pads, 1, Bytes(4, 0), 4);
    samples.push_back({"reflect", 144,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 145: 8-bit pad, 4N to 4N; a 4N flag of 5 counts as 1
    const Shape shape = {5, 1, 2, 2};
    const Bytes plain = pattern(ref::count_of(shape), 16);
    zv_api_pad_fix8b_t rec = {};
    rec.input_addr = kIn, rec.output_addr = kOut, rec.input_is_4N = 5, rec.buffer_addr = kBuf;
    rec.output_is_4N = 1, rec.buffer2_addr = kBuf2;
    rec.input_n = 5, rec.input_c = 1, rec.input_h = 2, rec.input_w = 2;
    const int pads[4][2] = {{0, 0}, {1, 0}, {0, 1}, {1, 1}};
    std::memcpy(rec.pads, pads, sizeof pads);
    rec.value = 0x7e, rec.pad_mode = 0;
    const Bytes want = ref::pad(plain, shape, pads, 0, Bytes{0x7e}, 1);  // (5, 2, 3, 4)
    samples.push_back({"constant, 4N", 145,
                       [=](Card &c) {
                         put(c, kIn, ref::to_4n(plain, 5, 4));
                         return payload_of(rec);
                       },
                       [=](Card &c) {
                         EXPECT_TRUE(ref::from_4n(c.read(kOut, 8 * 24), 5, 24) == want);
                         EXPECT_NE(c.console().find("N = 5    C = 1    H = 2    W = 2    type = 0"), std::string::npos);
                       }});
  }
  run_samples(samples);
}

TEST(DataApi, TransposesSlicesAndUnfolds) {
  std::vector<Sample> samples;
  {  // 117: float transpose through the buffer
    const Shape shape = {2, 3, 4};
    const std::vector<int> order = {1, 0, 2};
    const Bytes in = pattern(ref::count_of(shape) * 4, 17);
    const Bytes want = ref::permute_axes(in, shape, order, 4);
    zv_api_transpose_t rec = {};
    rec.input = kIn, rec.output = kOut, rec.dims = 3, rec.type_len = 4, rec.store_mode = 0, rec.buffer = kBuf;
    for (int i = 0; i < 3; i++) rec.shape[i] = shape[i], rec.order[i] = order[i];
    samples.push_back({"(1, 0, 2)", 117,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 118: 8-bit transpose, 4N batch moving into 1N
    const Shape shape = {6, 4, 3};
    const std::vector<int> order = {2, 1, 0};
    const Bytes plain = pattern(ref::count_of(shape), 18);
    const Bytes want = ref::permute_axes(plain, shape, order, 1);
    zv_api_transpose_fix8b_t rec = {};
    rec.input = kIn, rec.output = kOut, rec.dims = 3, rec.in_store_mode = 2, rec.out_store_mode = 0;
    rec.buffer = kBuf;
    for (int i = 0; i < 3; i++) rec.shape[i] = shape[i], rec.order[i] = order[i];
    samples.push_back({"4N (2, 1, 0) into 1N", 118,
                       [=](Card &c) {
                         put(c, kIn, ref::to_4n(plain, 6, 12));
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 161: float strided slice
    const Shape shape = {2, 3, 4, 10};
    const Bytes in = pattern(ref::count_of(shape) * 4, 19);
    const Bytes want = ref::stride_slice(in, shape, {0, 1, 0, 1}, {1, 1, 2, 3}, {2, 2, 2, 3}, 4);
    zv_api_stride_slice_t rec = {kIn, kOut, 4, 2, 3, 4, 10, 0, 0, {0, 1, -4, 1}, {2, 3, 4, 8}, {1, 1, 2, 3}};
    samples.push_back({"steps 2 and 3", 161,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 165: 8-bit strided slice of items 2 to 5 of 8, 4N to 4N, arrays by the core's address
    const Shape shape = {8, 2, 3, 2};
    const Bytes plain = pattern(ref::count_of(shape), 20);
    const Bytes want = ref::stride_slice(plain, shape, {2, 0, 1, 0}, {1, 1, 1, 1}, {4, 2, 2, 2}, 1);
    zv_api_stride_slice_fix8b_t rec = {};
    rec.input = kIn, rec.buffer = kBuf, rec.buffer2 = kBuf2, rec.output = kOut;
    rec.shape = core_addr(kArrays), rec.begin = core_addr(kArrays + 16), rec.end = core_addr(kArrays + 32);
    rec.stride = core_addr(kArrays + 48);
    rec.shape_size = 4, rec.in_store_mode = 2, rec.out_store_mode = 2;
    samples.push_back({"a batch window, 4N", 165,
                       [=](Card &c) {
                         const int32_t arrays[16] = {8, 2, 3, 2, 2, 0, 1, 0, 6, 2, 3, 2, 1, 1, 1, 1};
                         c.write(kArrays, arrays, sizeof arrays);
                         put(c, kIn, ref::to_4n(plain, 8, 12));
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(ref::from_4n(c.read(kOut, 4 * 8), 4, 8) == want); }});
  }
  {  // 203: unfold of (2, 10) along axis 1
    const Shape shape = {2, 10};
    const Bytes in = pattern(ref::count_of(shape) * 4, 21);
    const Bytes want = ref::unfold(in, shape, 1, 4, 2, 4);
    zv_api_unfold_t rec = {};
    rec.input = kIn, rec.input_rank = 2, rec.input_shape[0] = 2, rec.input_shape[1] = 10;
    rec.unfold_axis = 1, rec.unfold_size = 4, rec.unfold_step = 2, rec.buffer = kBuf, rec.output = kOut;
    samples.push_back({"windows of 4 every 2", 203,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(rec);
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  run_samples(samples);
}

TEST(DataApi, MemoryCopiesAndTheSort) {
  std::vector<Sample> samples;
  {  // 136
    const Bytes in = pattern(70001, 22);
    samples.push_back({"70001 bytes", 136,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(zv_api_memcpy_byte_t{kIn, kOut, 70001});
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, in.size()) == in); }});
  }
  {  // 137: every third 16-bit element, gathered
    const Bytes in = pattern(3 * 50 * 2, 23);
    Bytes want(50 * 2, 0);
    for (int i = 0; i < 50; i++) std::memcpy(&want[2 * i], &in[6 * i], 2);
    samples.push_back({"strided halves", 137,
                       [=](Card &c) {
                         put(c, kIn, in), put(c, kOut, Bytes(want.size(), 0));
                         return payload_of(zv_api_memcpy_wstride_t{kIn, kOut, 3, 1, 50, 2});
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 138: a strided 4-D copy of floats
    const Bytes in = pattern(2 * 40 * 4, 24);
    const Shape shape = {2, 3, 2, 4};
    // Source: item 40 elements apart, channel 10, row 5; destination dense.
    const Bytes want = ref::gather(in, {2, 40}, shape, 4, [](const std::vector<int> &o) {
      return std::vector<int>{o[0], o[1] * 10 + o[2] * 5 + o[3]};
    });
    samples.push_back({"a strided tensor", 138,
                       [=](Card &c) {
                         put(c, kIn, in);
                         return payload_of(zv_api_memcpy_tensor_t{kIn, kOut, 2, 3, 2, 4, 40, 10, 5, 1, 24, 8, 4, 1, 4});
                       },
                       [=](Card &c) { EXPECT_TRUE(c.read(kOut, want.size()) == want); }});
  }
  {  // 508: descending with indices; the flags 7 and 0 pass as 1 and 0
    const std::vector<float> keys = {3, 9, 1, 7, 5};
    samples.push_back({"5 keys descending", 508,
                       [=](Card &c) {
                         c.write(kIn, keys.data(), 20);
                         const std::vector<int32_t> idx = {10, 11, 12, 13, 14};
                         c.write(kIn2, idx.data(), 20);
                         return payload_of(zv_api_cv_sort_t{kIn, kIn2, 5, kOut, kOut2, 3, 1, 7, 0});
                       },
                       [=](Card &c) {
                         std::vector<float> sorted(3);
                         std::vector<int32_t> idx(3);
                         c.read(kOut, sorted.data(), 12);
                         c.read(kOut2, idx.data(), 12);
                         EXPECT_EQ(sorted, (std::vector<float>{9, 7, 5}));
                         EXPECT_EQ(idx, (std::vector<int32_t>{11, 13, 14}));
                       }});
  }
  run_samples(samples);
}

TEST(DataApi, ZeroItemsAndRecordsBeyondTheirArrays) {
  Card card;
  // Channel shuffle with no items answers at once.
  auto a = card.send(159, payload_of(zv_api_shuffle_channel_forward_t{kIn, kOut, 0, 6, 1, 1, 0}));
  ASSERT_TRUE(AnswerOk(card, a));
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
  struct Bad {
    const char *what;
    uint32_t id;
    std::vector<uint32_t> payload;
    const char *condition;
  };
  zv_api_concat_t concat = {};
  concat.input_num = 11;
  zv_api_split_tf_fix8b_t split = {};
  split.split_num = 1, split.split_sizes[0] = 11, split.shape_size = 4, split.shape = core_addr(kArrays);
  zv_api_split_tf_fix8b_t outside = {};
  outside.split_num = 2, outside.shape_size = 4, outside.shape = 0x02000000;  // the core's data memory
  zv_api_tile_fix8b_forward_t tile = {};
  tile.input_dim = 9;
  Bytes slice;
  append(slice, kIn), append(slice, uint32_t(339));
  const Bad cases[] = {
      {"eleven concat inputs", 91, payload_of(concat), "rec.input_num >= 0 && rec.input_num <= CONCAT_MAX_INPUTS"},
      {"eleven split outputs", 146, payload_of(split), "count >= 0 && count <= SPLIT_MAX_OUTPUTS"},
      {"a shape outside the window", 146, payload_of(outside),
       "addr >= DDR_ARM_BASE && (u64)addr + bytes <= 0x100000000ull"},
      {"nine tile axes", 119, payload_of(tile), "rec.input_dim >= 1 && rec.input_dim <= TILE_MAX_DIMS"},
      {"a slice count past the buffer", 115, words_of(slice), "head.count <= SLICE_MAX_OUTPUTS"},
  };
  for (const Bad &b : cases) {
    SCOPED_TRACE(b.what);
    const size_t before = card.console().size();
    a = card.send(b.id, b.payload);
    ASSERT_TRUE(AnswerOk(card, a, 1009u));
    EXPECT_NE(card.console().substr(before).find(std::string(": ") + b.condition + "\n"), std::string::npos)
        << card.console().substr(before);
  }
  EXPECT_TRUE(card.chip().engines.gdma.commands().empty());
}

}  // namespace
}  // namespace zv::test
