// GDMA's descriptor fields, declared once (bit position, width), with the
// names the decoders read them by. Words 4-11 hold the strides, or the count
// and the mask address of the flat copy and the filter.
#pragma once

#include "chip/engines/descriptor.h"

namespace zv::chip::gdma::field {

constexpr Field kStridesGiven{5, 1}, kDirection{6, 2}, kResultAdd{8, 1}, kFlatCopy{9, 1};
constexpr Field kOwnId{16, 16}, kWaitBdId{48, 16};
constexpr Field kMode{32, 3}, kDstFormat{35, 3}, kLayout{38, 1}, kMatrix{39, 1}, kSrcFormat{40, 3};
constexpr Field kFillValue{96, 32};
constexpr Field kCount{128, 32};     // flat copy and filter: elements
constexpr Field kMaskAddr{256, 32};  // filter
// n, c, h and w of each side.
constexpr Field kSrcStride[4] = {{128, 32}, {160, 32}, {192, 32}, {224, 32}};
constexpr Field kDstStride[4] = {{256, 32}, {288, 32}, {320, 32}, {352, 32}};
constexpr Field kSrcShape[4] = {{384, 16}, {400, 16}, {416, 16}, {432, 16}};
constexpr Field kDstShape[4] = {{448, 16}, {464, 16}, {480, 16}, {496, 16}};
constexpr Field kSrcAddrLow{512, 32}, kDstAddrLow{544, 32}, kSrcAddrHigh{576, 8}, kDstAddrHigh{584, 8};
constexpr Field kShifts{608, 32};  // four 8-bit sub-element shifts, in this order:
constexpr Field kSrcHShift{608, 8}, kSrcWShift{616, 8}, kDstHShift{624, 8}, kDstWShift{632, 8};

}  // namespace zv::chip::gdma::field
