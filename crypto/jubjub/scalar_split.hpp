// A scalar modulo s as a ratio of two half-size integers, so that an equation
// c·A + R = S·G can be checked as u·A + v·R = (v·S)·G with half as many
// doublings.
#pragma once

#include "crypto/jubjub/fs.hpp"

namespace quillet::jubjub {

// u = v·c (mod s) with v odd and 0 < |v| < s, 0 <= u < s. Both are near
// sqrt(s), about 2^126, for almost every c: the partial extended Euclidean
// algorithm on (s, c) stops at the first remainder below 2^126 (if the
// cofactor there is even, the shorter neighbour in the sequence is taken; a
// cofactor and its neighbours are coprime). An odd v keeps multiplication by
// v one-to-one on points of order dividing 8·s. Variable time: public c only.
struct RatioSplit {
  FsRepr u;
  FsRepr v;  // |v|
  bool v_negative;
};
RatioSplit split_ratio_vartime(const Fs& c);

}  // namespace quillet::jubjub
