// layerspill on the shipped Fashion-MNIST network, float and 8-bit after a
// calibration, and on small nets for its naming and selection rules.
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <iomanip>
#include <set>
#include <sstream>

#include "test_util.hpp"

using tools_test::TempDir;

namespace fs = std::filesystem;

namespace {

const std::string kModelDir = MODEL_DIR;

struct SpillRun {
  int status;
  std::string out, err;
};

// Runs layerspill in dir with the given arguments (shell words).
SpillRun Spill(const std::string& dir, const std::string& args) {
  const std::string cmd = "cd '" + dir + "' && '" LAYERSPILL_BIN "' " + args + " > out.txt 2> err.txt";
  const int status = std::system(cmd.c_str());
  auto slurp = [&](const std::string& f) {
    std::ifstream in(dir + "/" + f);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  SpillRun r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp("out.txt"), slurp("err.txt")};
  fs::remove(dir + "/out.txt");
  fs::remove(dir + "/err.txt");
  return r;
}

// The one output directory log_* that a run left in dir.
std::string OutputDir(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().rfind("log_", 0) == 0) found.push_back(e.path().string());
  EXPECT_EQ(found.size(), 1u);
  return found.empty() ? "" : found[0];
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

std::set<std::string> Files(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

template <typename T>
std::string Text(T v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

// A fresh subdirectory for one run, so that runs in the same second do not
// share an output directory.
std::string Fresh(const TempDir& dir, const std::string& name) {
  fs::create_directories(dir / name);
  return dir / name;
}

TEST(Layerspill, UsageAndTooFewArguments) {
  TempDir dir;
  const SpillRun help = Spill(dir.path(), "--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: layerspill MODEL WEIGHTS ITERATIONS MODE"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("INT8_NEURON"), std::string::npos);
  for (const char* args : {"", "a.prototxt", "a.prototxt a.weights 1"}) {
    SCOPED_TRACE(args);
    const SpillRun r = Spill(dir.path(), args);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("needs at least 4 arguments"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: layerspill"), std::string::npos);
  }
  EXPECT_TRUE(Files(dir.path()).empty()) << "nothing is written";
}

// A data layer with one top and a layer whose name has a slash.
const char kSmallNet[] =
    "name: 'small' layer { name: 'd' type: 'DummyData' top: 'x' dummy_data_param { shape { dim: 1 dim: 3 } "
    "data_filler { type: 'constant' value: -1.5 } } } "
    "layer { name: 'act/relu' type: 'ReLU' bottom: 'x' top: 'y' relu_param { negative_slope: 0.5 } } ";

TEST(Layerspill, NamesSelectionAndPasses) {
  TempDir dir;
  std::ofstream(dir / "small.v1.prototxt") << kSmallNet;
  qrn::NetParameter weights;
  ASSERT_TRUE(qrn::WriteProtoToBinaryFile(weights, dir / "small.weights"));
  const std::string args = "../small.v1.prototxt ../small.weights ";

  // One pass: files straight in log_small_<time>; the slash becomes '_'; no
  // label file for a single-top data layer.
  {
    const std::string d = Fresh(dir, "one");
    ASSERT_EQ(Spill(d, args + "1 FP32").status, 0);
    const std::string out = OutputDir(d);
    EXPECT_EQ(fs::path(out).filename().string().rfind("log_small_", 0), 0u) << out;
    EXPECT_EQ(Files(out), (std::set<std::string>{"0d_float.txt", "1act_relu_float.txt"}));
    EXPECT_EQ(Lines(out + "/1act_relu_float.txt"), (std::vector<std::string>{"-0.75", "-0.75", "-0.75"}));
  }
  // Three passes: a directory per pass, each complete.
  {
    const std::string d = Fresh(dir, "three");
    ASSERT_EQ(Spill(d, args + "3 FP32").status, 0);
    const std::string out = OutputDir(d);
    EXPECT_EQ(Files(out), (std::set<std::string>{"0", "1", "2"}));
    for (const char* pass : {"0", "1", "2"}) EXPECT_EQ(Files(out + "/" + pass).size(), 2u) << pass;
  }
  // Passes 5, only pass 3 written (into /2); only 1: into the directory itself.
  {
    const std::string d = Fresh(dir, "only3");
    ASSERT_EQ(Spill(d, args + "5 FP32 3").status, 0);
    const std::string out = OutputDir(d);
    EXPECT_EQ(Files(out), (std::set<std::string>{"2"}));
    const std::string d1 = Fresh(dir, "only1");
    ASSERT_EQ(Spill(d1, args + "5 FP32 1").status, 0);
    EXPECT_EQ(Files(OutputDir(d1)).count("0d_float.txt"), 1u);
  }
  // Layer lists: runs of commas are one separator; unknown names are
  // ignored; an empty list selects nothing.
  struct Case {
    const char* list;
    std::set<std::string> files;
  } cases[] = {
      {"'act/relu,,nothing'", {"1act_relu_float.txt"}},
      {"',d,'", {"0d_float.txt"}},
      {"''", {}},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    const std::string d = Fresh(dir, "list" + std::to_string(k++));
    ASSERT_EQ(Spill(d, args + "1 FP32 0 " + c.list).status, 0);
    EXPECT_EQ(Files(OutputDir(d)), c.files);
  }
  // A pass count that does not parse runs nothing but still makes the folder.
  const std::string d = Fresh(dir, "bad");
  ASSERT_EQ(Spill(d, args + "many FP32").status, 0);
  EXPECT_TRUE(Files(OutputDir(d)).empty());
}

// The shipped net, calibrated once.
class ShippedNetSpill : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    fs::copy_file(kModelDir + "/fashion_mnist.prototxt", *dir_ / "fm.prototxt");
    fs::copy_file(kModelDir + "/fashion_mnist.weights", *dir_ / "fm.weights");
    const std::string cmd = "cd '" + dir_->path() + "' && '" SCALEFINDER_BIN
                            "' --model=fm.prototxt --weights=fm.weights --iterations=50 --save_test_proto "
                            "quantize > q.log 2>&1";
    status_ = std::system(cmd.c_str());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(WIFEXITED(status_) && WEXITSTATUS(status_) == 0); }
  static TempDir* dir_;
  static int status_;
};
TempDir* ShippedNetSpill::dir_ = nullptr;
int ShippedNetSpill::status_ = -1;

TEST_F(ShippedNetSpill, EightBitModeRefusesTheFloatNet) {
  // The float weights in the 8-bit mode: refused, nothing written; the
  // 8-bit model in the same mode runs.
  const std::string d = Fresh(*dir_, "refused");
  const SpillRun r = Spill(d, "../fm_test_int8_unique_top.prototxt ../fm.weights 1 INT8_NEURON");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("layerspill: ../fm.weights is a float net"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("INT8_NEURON needs the .int8qmodel"), std::string::npos) << r.err;
  EXPECT_TRUE(Files(d).empty());
  const std::string ok = Fresh(*dir_, "accepted");
  EXPECT_EQ(Spill(ok, "../fm_test_int8_unique_top.prototxt ../fm.int8qmodel 1 INT8_NEURON").status, 0);
}

TEST_F(ShippedNetSpill, FloatRunWritesTheFrameworksOutputs) {
  const std::string d = Fresh(*dir_, "float");
  ASSERT_EQ(Spill(d, "../fm.prototxt ../fm.weights 2 FP32").status, 0);
  const std::string out = OutputDir(d);
  qrn::Net<float> net(*dir_ / "fm.prototxt", qrn::TEST);
  net.CopyTrainedLayersFrom(*dir_ / "fm.weights");
  for (const char* pass : {"0", "1"}) {
    net.Forward();
    const std::string folder = out + "/" + pass;
    EXPECT_EQ(Files(folder).size(), net.layers().size() + 1) << "a file per layer and the labels";
    for (size_t k = 0; k < net.layers().size(); ++k) {
      std::vector<std::string> expected;
      for (auto* blob : net.top_vecs()[k])
        for (int i = 0; i < blob->count(); ++i) expected.push_back(Text(blob->cpu_data()[i]));
      ASSERT_EQ(Lines(folder + "/" + std::to_string(k) + net.layer_names()[k] + "_float.txt"), expected)
          << pass << " " << net.layer_names()[k];
    }
    EXPECT_EQ(Lines(folder + "/label_fixpoint.txt"),
              std::vector<std::string>{Text(net.blob_by_name("label")->cpu_data()[0])});
  }
}

TEST_F(ShippedNetSpill, Int8RunWritesTheInt8ForwardsOutputs) {
  const std::string d = Fresh(*dir_, "int8");
  ASSERT_EQ(Spill(d, "../fm_test_int8_unique_top.prototxt ../fm.int8qmodel 2 INT8_NEURON 2").status, 0);
  const std::string out = OutputDir(d);
  EXPECT_EQ(Files(out), (std::set<std::string>{"1"}));
  const std::string folder = out + "/1";

  qrn::Qrn::Get().set_mode(qrn::Qrn::INT8);
  qrn::Net<float> net(*dir_ / "fm_test_int8_unique_top.prototxt", qrn::TEST);
  net.CopyTrainedLayersFrom(*dir_ / "fm.int8qmodel");
  net.Forward();
  net.Forward();
  qrn::Qrn::Get().set_mode(qrn::Qrn::FP32);

  std::vector<std::string> th_lines;
  for (size_t k = 0; k < net.layers().size(); ++k) {
    const auto& p = net.layers()[k]->layer_param();
    SCOPED_TRACE(p.name());
    ASSERT_GT(p.th_top(), 0.0f) << "the calibration fields came with the model";
    const std::string base = folder + "/" + std::to_string(k) + p.name();
    std::vector<std::string> fix, fp32;
    const bool is_signed = net.top_vecs()[k][0]->fixed_sign_type() == qrn::BlobProto_FixedSignType_SIGNED;
    for (auto* blob : net.top_vecs()[k])
      for (int i = 0; i < blob->count(); ++i) {
        if (p.output_is_float()) {
          fix.push_back(Text(blob->cpu_data()[i]));
          fp32.push_back(fix.back());
        } else {
          const int v = is_signed ? blob->cpu_int8_data()[i] : blob->cpu_unint8_data()[i];
          fix.push_back(Text(v));
          fp32.push_back(Text(static_cast<float>(v) * p.scaleconvertbacktofloat_output()));
        }
      }
    EXPECT_EQ(Lines(base + "_fixpoint.txt"), fix);
    EXPECT_EQ(Lines(base + "_scale_to_fp32.txt"), fp32);
    std::ostringstream th;
    th << std::to_string(k) << p.name() << ", ";
    if (p.output_is_float()) {
      th << "128";
    } else {
      th << std::fixed << std::setprecision(8) << p.scaleconvertbacktofloat_output() * 128;
    }
    th_lines.push_back(th.str());
  }
  EXPECT_EQ(Lines(folder + "/_layerName_and_th.txt"), th_lines);
  EXPECT_EQ(th_lines.back(), "10prob, 128");
  // ReLU outputs are unsigned and reach above 127 only as unsigned values;
  // the classifier's 8-bit output is signed.
  EXPECT_EQ(net.blob_by_name("prob")->holds_float(), true);
  EXPECT_EQ(net.top_vecs()[2][0]->fixed_sign_type(), qrn::BlobProto_FixedSignType_UNSIGNED);
  EXPECT_EQ(net.top_vecs()[9][0]->fixed_sign_type(), qrn::BlobProto_FixedSignType_SIGNED);
}

}  // namespace
