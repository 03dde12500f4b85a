// Helpers shared by the tools' tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "qrn/qrn.hpp"

namespace tools_test {

inline qrn::NetParameter ParseNet(const std::string& text) {
  qrn::NetParameter param;
  EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &param)) << text;
  return param;
}

inline std::unique_ptr<qrn::Net<float>> MakeNet(const std::string& text) {
  return std::make_unique<qrn::Net<float>>(ParseNet(text));
}

inline void FillRandom(qrn::Blob<float>* blob, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  for (int i = 0; i < blob->count(); ++i) blob->mutable_cpu_data()[i] = dist(rng);
}

inline std::vector<float> Values(const qrn::Blob<float>& blob) {
  return std::vector<float>(blob.cpu_data(), blob.cpu_data() + blob.count());
}

// Relative-and-absolute closeness of two value lists.
inline void ExpectNear(const std::vector<float>& expected, const std::vector<float>& actual,
                       float tol = 1e-4f) {
  ASSERT_EQ(expected.size(), actual.size());
  for (size_t i = 0; i < expected.size(); ++i)
    ASSERT_NEAR(expected[i], actual[i], tol * (1.0f + std::fabs(expected[i]))) << "at " << i;
}

// A fresh directory under the system's temporary directory, removed at the
// end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tools_test_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace tools_test
