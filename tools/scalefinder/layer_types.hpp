// Sets of layer type names by which the calibration tells layer kinds apart
// (exact, case-sensitive membership).
#pragma once

#include <set>
#include <string>

// Layers whose output threshold may follow their input's.
extern const std::set<std::string> layer_equal_pre_types1;
extern const std::set<std::string> layer_equal_pre_types2;
extern const std::set<std::string> layer_equal_pre_types3;
extern const std::set<std::string> layer_equal_pre_types4;
// Layers that get no statistics and threshold 1.
extern const std::set<std::string> layer_not_need_cal_th;
// Layers whose outputs carry the effect of input padding.
extern const std::set<std::string> layer_pad_impact;
// Layers that only move or re-view data.
extern const std::set<std::string> layer_not_compute;

inline bool layer_type_in(const std::set<std::string>& set, const std::string& type) {
  return set.count(type) != 0;
}
