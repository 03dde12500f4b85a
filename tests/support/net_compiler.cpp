#include "net_compiler.h"

#include <cstring>
#include <stdexcept>

#include "net_writer_fc.h"
#include "qrn/fixed_point.hpp"

namespace zv::test::netc {

namespace {

using namespace net;

// Layer and move type ids, data sizes and store modes of the description.
constexpr uint32_t kConv = 0, kPool = 1, kFc = 3, kSoftmax = 19;
constexpr uint32_t kLdInput = 0, kStItm = 3, kLdCoeff = 4;

// A coefficient load of N = 1 rows of `channels` x `width` (shape mode 2),
// once; `elem_selector` 1 loads 16-bit values.
Record coeff_load(uint64_t offset, uint32_t local, uint32_t channels, uint32_t width, uint32_t elem_selector) {
  ld_coeff_rec_t r = {};
  r.offset = offset;
  r.local_addr = local;
  r.N = 1;
  r.C = uint16_t(channels);
  r.H = 1;
  r.W = uint16_t(width);
  r.once = 1;
  r.shape_mode = 2;
  r.elem_selector = elem_selector;
  return record_of(r);
}
constexpr uint32_t kFp32 = 0, kInt8 = 2, k4N = 2;
constexpr uint64_t kBoundary = 0x10000000ull;
constexpr uint32_t kLanes = 64, kLaneBytes = 0x80000;

uint64_t align_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

[[noreturn]] void unsupported(const std::string &what) { throw std::runtime_error("net compiler: " + what); }

template <typename T>
void put(std::vector<uint8_t> &b, T v) {
  const size_t at = b.size();
  b.resize(at + sizeof(T));
  std::memcpy(b.data() + at, &v, sizeof(T));
}

struct Builder {
  const qrn::Net<float> &net;
  bool int8;
  Options opt;
  Compiled out;
  uint32_t next_id = 1;
  uint64_t coeff_end = 0, neuron_end = kBoundary;
  uint32_t local_end = 0;

  uint32_t ds() const { return int8 ? kInt8 : kFp32; }

  uint64_t add_coeff(std::vector<uint8_t> bytes) {
    const uint64_t at = coeff_end;
    coeff_end = align_up(at + bytes.size(), 0x100);
    out.coeffs.push_back({at, std::move(bytes)});
    return at;
  }
  // Bytes of a tensor in device memory: 4N rows padded to four items.
  uint64_t device_bytes(const std::vector<uint32_t> &shape) const {
    uint64_t items = shape[0], per = 1;
    for (size_t i = 1; i < shape.size(); i++) per *= shape[i];
    return int8 ? align_up(items, 4) * per : items * per * 4;
  }
  Tensor &new_tensor(const std::string &blob, std::vector<uint32_t> shape, bool in_device, bool is_signed) {
    Tensor t;
    t.id = next_id++;
    t.shape = std::move(shape);
    t.int8 = int8;
    t.is_signed = is_signed;
    if (in_device) {
      t.offset = neuron_end;
      neuron_end = align_up(neuron_end + device_bytes(t.shape), 0x10000);
    }
    return out.tensors[blob] = t;
  }
  // Per-lane bytes of a local slice (n, c, h, w): items of the slice (words
  // of four items for 8-bit), channels by lanes, planes of h x w words.
  uint32_t local_alloc(uint32_t c, uint32_t h, uint32_t w) {
    const uint64_t items = int8 ? (opt.n_slice + 3) / 4 : opt.n_slice;
    const uint64_t bytes = items * ((c + kLanes - 1) / kLanes) * align_up(uint64_t(h) * w, 32) * 4;
    const uint32_t at = local_end;
    local_end = uint32_t(align_up(at + bytes, 0x1000));
    if (local_end > kLaneBytes) unsupported("the local group does not fit a lane");
    return at;
  }

  const qrn::LayerParameter &param(size_t k) const { return net.layers()[k]->layer_param(); }
  std::string type(size_t k) const { return net.layers()[k]->type(); }
  // The ReLU right after layer k on its output, if there is one.
  bool relu_follows(size_t k) const {
    if (k + 1 >= net.layers().size() || type(k + 1) != "ReLU") return false;
    return param(k + 1).bottom(0) == param(k).top(0);
  }
  // Whether layer k rectifies its output, and the index after it and its ReLU.
  bool fused_relu(size_t k, size_t *next) const {
    const bool follows = relu_follows(k);
    *next = k + (follows ? 2 : 1);
    if (follows && param(k + 1).relu_param().negative_slope() != 0.0f) unsupported("leaky ReLU");
    if (!int8) return follows;
    // 8-bit: the calibration marks the layer; a ReLU after it then passes
    // its unsigned values through.
    if (follows && !param(k).followedbyrelu()) unsupported("a ReLU the calibration did not fold");
    return param(k).followedbyrelu();
  }
  void alias_relu_top(size_t k) {
    if (relu_follows(k)) out.tensors[param(k + 1).top(0)] = out.tensors[param(k).top(0)];
  }
  const qrn::Blob<float> &blob(const std::string &name) const { return *net.blob_by_name(name); }
};

}  // namespace

Compiled compile(const qrn::Net<float> &net, bool int8, const Options &opt) {
  if (int8 && opt.n_slice % 4 != 0) unsupported("8-bit slices take whole words of four items");
  Builder b{net, int8, opt, {}};
  b.out.int8 = int8;
  b.out.batch = opt.batch;
  b.out.addr_boundary = kBoundary;
  const size_t L = net.layers().size();
  size_t k = 0;
  // The data layer: the net input.
  if (L == 0 || b.type(0) != "Data") unsupported("the net must start with its data layer");
  {
    const qrn::Blob<float> &d = b.blob(b.param(0).top(0));
    std::vector<uint32_t> shape = {opt.batch};
    for (int i = 1; i < d.num_axes(); i++) shape.push_back(uint32_t(d.shape(i)));
    b.out.input_blob = b.param(0).top(0);
    b.new_tensor(b.out.input_blob, shape, false, int8 ? qrn::IsSigned(d) : true);
    k = 1;
  }
  std::vector<Group> groups;
  std::string last_blob = b.out.input_blob;

  // ---- The local group: convolutions and poolings with their ReLUs ----
  if (k < L && (b.type(k) == "Convolution" || b.type(k) == "Pooling")) {
    Group g;
    g.inputs = {b.out.tensors[last_blob].id};
    g.n_slice = opt.n_slice;
    TimeStep loads, layers, stores;
    const Tensor &in = b.out.tensors[last_blob];
    if (in.shape.size() != 4) unsupported("convolutions take 4-axis inputs");
    uint32_t in_local = b.local_alloc(in.shape[1], in.shape[2], in.shape[3]);
    loads.moves.push_back({0, move(kLdInput, ld_input(in_local, in.id, b.ds(), 0, int8 ? 1 : 0))});
    std::string cur = last_blob;
    while (k < L && (b.type(k) == "Convolution" || b.type(k) == "Pooling")) {
      const qrn::LayerParameter &p = b.param(k);
      if (p.bottom(0) != cur) unsupported("layer " + p.name() + " does not read the previous layer's output");
      const Tensor src = b.out.tensors[cur];
      const qrn::Blob<float> &x = b.blob(p.bottom(0)), &y = b.blob(p.top(0));
      const uint32_t C = src.shape[1];
      const uint32_t OC = uint32_t(y.channels()), OH = uint32_t(y.height()), OW = uint32_t(y.width());
      size_t next;
      const bool relu = b.fused_relu(k, &next);
      const uint32_t out_local = b.local_alloc(OC, OH, OW);
      if (b.type(k) == "Convolution") {
        const auto &cp = p.convolution_param();
        if (cp.group() != 1 || cp.dilation_size() > 0 || cp.has_kernel_h() || cp.has_pad_h() || cp.has_stride_h() ||
            cp.kernel_size_size() != 1 || cp.pad_size() > 1 || cp.stride_size() > 1)
          unsupported("convolution " + p.name() + ": only square kernels, one group, no dilation");
        if (int8 && cp.per_channel_en()) unsupported("per-channel shifts");
        const uint32_t kk = cp.kernel_size(0), pad = cp.pad_size() ? cp.pad(0) : 0;
        const uint32_t stride = cp.stride_size() ? cp.stride(0) : 1;
        const auto &blobs = b.net.layers()[k]->blobs();
        const qrn::Blob<float> &w = *blobs[0];
        const qrn::Blob<float> *bias = blobs.size() > 1 ? blobs[1].get() : nullptr;
        const uint32_t taps = kk * kk;
        std::vector<uint8_t> wb, bb;
        uint32_t lane_words;
        if (!int8) {
          // Per output channel, in its lane: taps outermost, input channels
          // in pairs.
          const uint32_t pairs = (C + 1) / 2;
          lane_words = taps * pairs * 2;
          std::vector<float> v(size_t(OC) * lane_words, 0.0f);
          for (uint32_t o = 0; o < OC; o++)
            for (uint32_t i = 0; i < C; i++)
              for (uint32_t t = 0; t < taps; t++)
                v[o * lane_words + (t * pairs + i / 2) * 2 + i % 2] = w.cpu_data()[(o * C + i) * taps + t];
          wb.resize(v.size() * 4);
          std::memcpy(wb.data(), v.data(), wb.size());
          for (uint32_t o = 0; o < OC && bias; o++) put<float>(bb, bias->cpu_data()[o]);
        } else {
          // Per output channel: taps outermost, four input channels a word.
          const uint32_t g4 = (C + 3) / 4;
          lane_words = taps * g4;
          wb.assign(size_t(OC) * lane_words * 4, 0);
          for (uint32_t o = 0; o < OC; o++)
            for (uint32_t i = 0; i < C; i++)
              for (uint32_t t = 0; t < taps; t++)
                wb[(size_t(o) * lane_words + t * g4 + i / 4) * 4 + i % 4] =
                    uint8_t(qrn::Int8At(w, int((o * C + i) * taps + t)));
          for (uint32_t o = 0; o < OC && bias; o++) put<int16_t>(bb, int16_t(qrn::Int16At(*bias, int(o))));
        }
        const uint32_t w_local = b.local_alloc(1, 1, lane_words);
        const uint64_t w_off = b.add_coeff(wb);
        loads.moves.push_back({0, move(kLdCoeff, coeff_load(w_off, w_local, OC, lane_words, 0))});
        uint32_t b_local = 0;
        if (bias) {
          b_local = b.local_alloc(1, 1, 1);
          const uint64_t b_off = b.add_coeff(bb);
          loads.moves.push_back({0, move(kLdCoeff, coeff_load(b_off, b_local, OC, 1, int8 ? 1 : 0))});
        }
        const bool out_signed = int8 && !relu && (src.is_signed || qrn::IsSigned(w) || (bias && qrn::IsSigned(*bias)));
        Tensor &t = b.new_tensor(p.top(0), {opt.batch, OC, OH, OW}, false, int8 ? out_signed : true);
        conv_param_t r = {};
        r.output_c = uint16_t(OC);
        r.input_c = uint16_t(C);
        r.output_n = opt.batch;
        r.groups = 1;
        r.kw = r.kh = uint16_t(kk);
        r.dh = r.dw = 1;
        r.pad_h = r.pad_h_after = r.pad_w = r.pad_w_after = uint8_t(pad);
        r.stride_h = r.stride_w = uint8_t(stride);
        r.bias_mode = bias ? 1 : 0;
        r.if_relu = relu ? 1 : 0;
        r.second_output_id = t.id;
        if (int8) {
          r.fix8b_opt[0] = uint8_t(w.rshiftNum());
          r.fix8b_opt[1] = src.is_signed;
          r.fix8b_opt[2] = qrn::IsSigned(w);
          r.fix8b_opt[3] = bias && qrn::IsSigned(*bias);
        }
        std::vector<uint32_t> words = {src.id << 16 | t.id, in_local, w_local};
        if (bias) words.push_back(b_local);
        words.push_back(out_local);
        layers.layers.push_back({0, layer(kConv, b.ds(), record_of(r), words)});
      } else {
        const auto &pp = p.pooling_param();
        if (pp.global_pooling() || pp.has_kernel_h() || pp.has_pad_h() || pp.has_stride_h())
          unsupported("pooling " + p.name() + ": only square windows");
        const uint32_t kk = pp.kernel_size(), pad = pp.pad(), stride = pp.stride();
        const bool avg = pp.pool() == qrn::PoolingParameter::AVE;
        if (avg && (int8 || pad)) unsupported("average pooling with padding or in 8 bits");
        Tensor &t = b.new_tensor(p.top(0), {opt.batch, OC, OH, OW}, false, src.is_signed);
        pool_param_t r = {};
        r.c = C;
        r.kw = r.kh = uint16_t(kk);
        r.pad_h = r.pad_h_after = r.pad_w = r.pad_w_after = uint8_t(pad);
        r.stride_h = r.stride_w = uint8_t(stride);
        r.is_avg_pooling = avg ? 1 : 0;
        r.if_relu = relu ? 1 : 0;
        r.ceil_mode = pp.ceil_mode() ? 2 : 0;
        if (int8) r.fix8b_opt0 = r.fix8b_opt1 = src.is_signed;
        if (relu && int8 && src.is_signed) unsupported("an 8-bit ReLU after a pooling");
        layers.layers.push_back({0, layer(kPool, b.ds(), record_of(r), {src.id << 16 | t.id, in_local, out_local})});
        (void)x;
      }
      b.alias_relu_top(k);
      cur = b.param(next - 1).top(0);
      in_local = out_local;
      k = next;
    }
    // The last output leaves the group for device memory.
    Tensor &last = b.out.tensors[cur];
    last.offset = b.neuron_end;
    b.neuron_end = align_up(b.neuron_end + b.device_bytes(last.shape), 0x10000);
    for (auto &e : b.out.tensors)
      if (e.second.id == last.id) e.second.offset = last.offset;
    st_itm_neuron_rec_t st = {};
    st.offset = last.offset;
    st.f.local_addr = in_local;
    st.f.id = uint16_t(last.id);
    st.f.container_id = uint16_t(last.id);
    st.f.data_size = b.ds();
    st.f.pack_flag = int8 ? 1 : 0;
    stores.moves.push_back({0, move(kStItm, record_of(st))});
    g.new_keys = {key(last.id, 1)};
    g.steps = {loads, layers, stores};
    groups.push_back(g);
    last_blob = cur;
  }

  // ---- Global groups: inner products and the softmax ----
  while (k < L) {
    const qrn::LayerParameter &p = b.param(k);
    if (p.bottom(0) != last_blob) unsupported("layer " + p.name() + " does not read the previous layer's output");
    const Tensor src = b.out.tensors[last_blob];
    const qrn::Blob<float> &y = b.blob(p.top(0));
    size_t next = k + 1;
    const bool is_last = [&] {
      size_t n2;
      if (b.type(k) == "InnerProduct") {
        b.fused_relu(k, &n2);
        return n2 >= L;
      }
      return k + 1 >= L;
    }();
    Group g;
    g.global = true;
    g.inputs = {src.id};
    Words refs = src.offset ? neuron_ref(src.id, src.offset) : net_io_ref(src.id);
    if (b.type(k) == "InnerProduct") {
      const auto &ip = p.inner_product_param();
      if (ip.transpose() || ip.axis() != 1) unsupported("inner product " + p.name() + ": axis 1, weights [N][K]");
      const bool relu = b.fused_relu(k, &next);
      const auto &blobs = b.net.layers()[k]->blobs();
      const qrn::Blob<float> &w = *blobs[0];
      const qrn::Blob<float> *bias = blobs.size() > 1 ? blobs[1].get() : nullptr;
      const uint32_t N = ip.num_output(), K = uint32_t(w.count() / int(N));
      std::vector<uint8_t> wb, bb;
      if (!int8) {
        wb.resize(size_t(w.count()) * 4);
        std::memcpy(wb.data(), w.cpu_data(), wb.size());
        for (uint32_t o = 0; o < N && bias; o++) put<float>(bb, bias->cpu_data()[o]);
      } else {
        for (int i = 0; i < w.count(); i++) wb.push_back(uint8_t(qrn::Int8At(w, i)));
        for (uint32_t o = 0; o < N && bias; o++) put<int16_t>(bb, int16_t(qrn::Int16At(*bias, int(o))));
      }
      refs.append(coeff_ref(b.add_coeff(wb)));
      if (bias) refs.append(coeff_ref(b.add_coeff(bb)));
      FcParams fp;
      fp.input_neurons = K, fp.output_neurons = N, fp.fc_option = 1, fp.has_bias = bias != nullptr;
      fp.has_active = relu, fp.active_type = relu ? 1 : 0;
      bool out_signed = true;
      if (int8) {
        fp.rshift = uint8_t(w.rshiftNum()), fp.input_sign = src.is_signed, fp.weight_sign = qrn::IsSigned(w);
        fp.bias_sign = bias && qrn::IsSigned(*bias);
        out_signed = !relu && (src.is_signed || qrn::IsSigned(w) || (bias && qrn::IsSigned(*bias)));
      }
      std::vector<uint32_t> shape = {opt.batch, N, 1, 1};
      Tensor &t = b.new_tensor(p.top(0), shape, !is_last, out_signed);
      refs.append(is_last ? net_io_ref(t.id) : neuron_ref(t.id, t.offset));
      g.global_layer = global_layer(kFc, b.ds(), fc_record(fp), refs, int8 ? k4N : 0, int8 ? k4N : 0);
      b.alias_relu_top(k);
    } else if (b.type(k) == "Softmax") {
      const int axis = y.CanonicalAxisIndex(p.softmax_param().axis());
      float scale = 0.0f;
      uint64_t scratch = 0;
      if (int8) {
        if (!src.is_signed) unsupported("softmax of unsigned 8-bit values");
        scale = p.scaleconvertbacktofloat_input_mul_size() > 0 ? p.scaleconvertbacktofloat_input_mul(0)
                                                                : p.scaleconvertbacktofloat_input();
        scratch = b.neuron_end;
        b.neuron_end = align_up(b.neuron_end + b.device_bytes(src.shape), 0x10000);
      }
      Tensor &t = b.new_tensor(p.top(0), src.shape, !is_last, true);
      t.int8 = false;
      refs.append(is_last ? net_io_ref(t.id) : neuron_ref(t.id, t.offset));
      g.global_layer = global_layer(kSoftmax, b.ds(), softmax_record(uint32_t(axis), scale, scratch), refs,
                                    int8 ? k4N : 0, 0);
    } else {
      unsupported("layer type " + b.type(k) + " (" + p.name() + ")");
    }
    if (!is_last) g.new_keys = {key(b.out.tensors[p.top(0)].id, 1)};
    groups.push_back(g);
    last_blob = b.param(next - 1).top(0);
    k = next;
  }
  if (last_blob == b.out.input_blob) unsupported("a net without layers");
  b.out.output_blob = last_blob;
  b.out.description = description({b.out.tensors[b.out.input_blob].id}, {b.out.tensors[last_blob].id}, groups);
  b.out.neuron_bytes = b.neuron_end - kBoundary;
  return b.out;
}

Placement default_placement() {
  Placement p;
  p.description = 0x101000000ull;
  p.input = 0x102000000ull;
  p.input_4n = 0x103000000ull;
  p.output = 0x104000000ull;
  p.coeff_base = 0x105000000ull;
  p.neuron_base = 0x108000000ull - kBoundary;  // neuron tensors from 0x1_0800_0000
  p.scratch = 0x10c000000ull;
  return p;
}

void load(host::Card &card, const Compiled &c, const Placement &at) {
  card.write(at.description, c.description.raw().data(), c.description.raw().size());
  for (const auto &co : c.coeffs) card.write(at.coeff_base + co.first, co.second.data(), co.second.size());
}

std::vector<uint32_t> run_message(const Compiled &c, const Placement &at) {
  RunMessage m;
  m.description_addr = at.description;
  m.description_words = uint32_t((c.description.size_bytes() + 3) / 4);
  m.has_4n_addr = c.int8;
  const Tensor &in = c.tensors.at(c.input_blob);
  m.inputs.push_back(IoInput{at.input, c.int8 ? at.input_4n : 0, c.int8 ? kInt8 : kFp32, in.shape, 0});
  m.outputs.push_back(IoOutput{at.output, 0, 0});
  m.return_shape = 0;
  m.addr_boundary = c.addr_boundary;
  m.neuron_base = at.neuron_base;
  m.coeff_base = at.coeff_base;
  m.scratch_addr = at.scratch;
  return run_payload(m);
}

uint64_t tensor_addr(const Compiled &c, const Placement &at, const std::string &blob) {
  const Tensor &t = c.tensors.at(blob);
  if (blob == c.output_blob) return at.output;
  if (blob == c.input_blob) return c.int8 ? at.input_4n : at.input;
  if (t.offset == 0) throw std::runtime_error("net compiler: " + blob + " stays in local memory");
  return at.neuron_base + t.offset;
}

}  // namespace zv::test::netc
