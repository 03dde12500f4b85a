// The tensor engine's descriptor fields, declared once (bit position, width),
// with the names the decoders read them by. Operand naming is the element-wise
// one: the result (operand 0 of a convolution, its output), operands 0 to 2
// (the convolution's input, weights and bias). Whole words are named in
// words::.
#pragma once

#include "chip/engines/descriptor.h"

namespace zv::chip::bd::field {

// ---- Header (words 0-1) ----
constexpr Field kOwnId{3, 16}, kWaitGdmaId{19, 16};
constexpr Field kTask{37, 4}, kSubOp{41, 5};
constexpr Field kOperands{46, 2};  // operand count; a convolution's 3 with a bias
constexpr Field kRshift{48, 5}, kShift2{53, 5};  // right shift; old result's left shift
constexpr Field kShiftType{58, 1}, kResAdd{59, 1};
constexpr Field kFloatMode{60, 1};  // arithmetic: 0 fixed point
constexpr Field kOutMode{60, 2};    // convolution and pooling: ReLU in fixed point
constexpr Field kFcRelu{60, 1}, kFcLTrans{61, 1};
constexpr Field kWinograd{62, 1}, kKernelFlag{63, 1};
// ---- Operand kinds (word 2) ----
constexpr Field kOpd0Sign{64, 1}, kOpd1Sign{65, 1}, kOpd2Sign{66, 1};
constexpr Field kResPrec{67, 3}, kOpd0Prec{70, 3}, kOpd1Prec{73, 3}, kOpd2Prec{76, 3};
constexpr Field kOpd0Const{79, 1}, kOpd1Const{80, 1}, kOpd2Const{81, 1};
constexpr Field kResStrideMode{82, 2}, kOpd0StrideMode{85, 2}, kOpd1StrideMode{88, 2};
// ---- Convolution window (words 2-4) ----
constexpr Field kInsW{94, 4}, kInsH{98, 4};
constexpr Field kDwMinus1{102, 4}, kDhMinus1{106, 4};
constexpr Field kPadTop{110, 4}, kPadBottom{114, 4}, kPadLeft{118, 4}, kPadRight{122, 4};
constexpr Field kStrideW{126, 4}, kStrideH{130, 4};
// ---- Shapes: the operation's (the result's), then operands 0 and 1 ----
constexpr Field kN{198, 16}, kC{214, 12}, kH{226, 16}, kW{242, 16};
constexpr Field kOpd0N{258, 16}, kOpd0C{274, 12}, kOpd0H{286, 16}, kOpd0W{302, 16};
constexpr Field kOpd1N{318, 12};  // md_sfu: Taylor coefficient count
constexpr Field kOpd1C{330, 12};
constexpr Field kOpd1H{342, 16};  // convolution: kh; table lookup: 32-entry groups
constexpr Field kOpd1W{358, 16};  // convolution: kw; vector correlation: y length
// Six 4-bit fixed-point shift fields from bit 374.
constexpr Field fix_shift(u32 i) { return Field{374 + 4 * i, 4}; }
// ---- n and c strides ----
constexpr Field kResNStride{398, 19}, kResCStride{417, 19};
constexpr Field kOpd0NStride{436, 19}, kOpd0CStride{455, 19};
constexpr Field kOpd1NStride{474, 19}, kOpd1CStride{493, 19};
constexpr Field kOpd2NStride{512, 19}, kOpd2CStride{531, 19};
constexpr Field kResSign{550, 1}, kOpd1BcastN{552, 1}, kOpd3Const{553, 1};

}  // namespace zv::chip::bd::field

namespace zv::chip::bd::words {

// Operand addresses or constants; then each operand's h and w strides.
constexpr u32 kRes = 18, kOpd0 = 19, kOpd1 = 20, kOpd2 = 21;
constexpr u32 kResHStride = 22, kOpd0HStride = 24, kOpd1HStride = 26, kOpd2HStride = 28;
constexpr u32 kRes1 = 30, kOpd3 = 31;  // md_cmp: second result, operand 3

}  // namespace zv::chip::bd::words
