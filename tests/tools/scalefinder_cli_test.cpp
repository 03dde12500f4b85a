// The scalefinder program as a user runs it: exit statuses, messages and the
// files left on disk.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "test_util.hpp"

using tools_test::ParseNet;
using tools_test::TempDir;

namespace fs = std::filesystem;

namespace {

struct Result {
  int status;     // exit status, or 128 + signal
  std::string output;  // standard output and error
};

// Runs scalefinder (the built one, or `program`) in dir with the given
// arguments (already shell words), from a shell without PYTHONPATH unless
// `env` sets one: the program finds the rewriter it ships by itself.
Result Scalefinder(const std::string& dir, const std::string& args, const std::string& env = "",
                   const std::string& program = SCALEFINDER_BIN) {
  const std::string cmd = "cd '" + dir + "' && env -u PYTHONPATH PATH=/usr/bin:/bin " + env +
                          " GLOG_logtostderr=1 GLOG_minloglevel=0 '" + program + "' " + args + " 2>&1";
  Result r{-1, ""};
  FILE* pipe = popen(cmd.c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.output.append(buf, n);
  const int raw = pclose(pipe);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return r;
}

bool Exists(const std::string& path) { return fs::exists(path); }

// A small float net: data -> conv(70) -> relu -> conv(3), without a name.
void WriteNet(const std::string& dir) {
  const std::string text =
      "layer { name: 'data' type: 'DummyData' top: 'data' dummy_data_param { shape { dim: 1 dim: 2 dim: 4 dim: 4 } "
      "data_filler { type: 'gaussian' } } } "
      "layer { name: 'c1' type: 'Convolution' bottom: 'data' top: 'c1' convolution_param { num_output: 70 kernel_size: 1 "
      "weight_filler { type: 'gaussian' } } } "
      "layer { name: 'r' type: 'ReLU' bottom: 'c1' top: 'c1' } "
      "layer { name: 'c2' type: 'Convolution' bottom: 'c1' top: 'c2' convolution_param { num_output: 3 kernel_size: 1 "
      "weight_filler { type: 'gaussian' } } }";
  qrn::Net<float> net(ParseNet(text));
  qrn::NetParameter weights;
  net.ToProto(&weights);
  fs::create_directories(dir);
  ASSERT_TRUE(qrn::WriteProtoToTextFile(ParseNet(text), dir + "/m.prototxt"));
  ASSERT_TRUE(qrn::WriteProtoToBinaryFile(weights, dir + "/net.weights"));
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const char* kFiles = "--model=m.prototxt --weights=net.weights";

TEST(ScalefinderCli, UsageAndUnknownCommand) {
  TempDir dir;
  for (const char* args : {"", "quantize graph_transform"}) {
    const Result r = Scalefinder(dir.path(), args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("usage: scalefinder <command> <args>"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("-conv_group (split convolution into group) type: bool default: false"),
              std::string::npos);
    EXPECT_NE(r.output.find("version with commit id:"), std::string::npos);
  }
  const Result r = Scalefinder(dir.path(), "frobnicate");
  EXPECT_NE(r.status, 0);
  const size_t list = r.output.find("Available qrn actions:");
  const size_t gt = r.output.find("\tgraph_transform\n"), q = r.output.find("\tquantize\n"),
               rel = r.output.find("\trelease\n"), fatal = r.output.find("Unknown action: frobnicate");
  ASSERT_NE(list, std::string::npos) << r.output;
  EXPECT_TRUE(list < gt && gt < q && q < rel && rel < fatal && fatal != std::string::npos) << r.output;
}

TEST(ScalefinderCli, GraphTransformWithoutRewriteCopiesAndMoves) {
  TempDir dir;
  WriteNet(dir.path());
  const Result r = Scalefinder(dir.path(), kFiles + std::string(" graph_transform"));
  EXPECT_EQ(r.status, 1) << r.output;  // nothing was rewritten
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"m.prototxt", "m.prototxt_optimized", "net.weights",
                                                           "net.weights_optimized"}));
}

TEST(ScalefinderCli, OptionThatNeedsTheRewriterStartsIt) {
  TempDir dir;
  WriteNet(dir.path());
  const Result r = Scalefinder(dir.path(), kFiles + std::string(" --per_channel graph_transform"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("cmd_str:python3 -m Net_Refiner --name net --proto_fp32 m.prototxt --model_fp32 "
                          "net.weights --postfix _ --fp32_diff 0.001 --merge_conv_scale\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"m.prototxt", "m.prototxt_optimized", "net.weights",
                                                           "net.weights_optimized"}));
  // The stand-in names the net after the weights.
  qrn::NetParameter rewritten;
  ASSERT_TRUE(qrn::ReadProtoFromTextFile(dir / "m.prototxt_optimized", &rewritten));
  EXPECT_EQ(rewritten.name(), "net");
}

TEST(ScalefinderCli, FailingRewriterStopsWithStatusOne) {
  // A rewriter the user points at comes before the shipped one; this one
  // writes half its output and fails.
  TempDir dir;
  WriteNet(dir.path());
  fs::create_directories(dir / "fake/Net_Refiner");
  std::ofstream(dir / "fake/Net_Refiner/__init__.py");
  std::ofstream(dir / "fake/Net_Refiner/__main__.py") << "open('m.prototxt_', 'w').write('half')\nraise SystemExit(1)\n";
  const Result r = Scalefinder(dir.path(), kFiles + std::string(" --graph_transform quantize"),
                               "PYTHONPATH='" + (dir / "fake") + "'");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("Error:Failed to invoke python script!"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Running for"), std::string::npos);  // nothing after it ran
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"fake", "m.prototxt", "net.weights"}));
}

TEST(ScalefinderCli, EveryRewriterOptionFindsTheShippedRewriter) {
  for (const char* option : {"--per_channel", "--fuse_preprocess", "--accuracy_opt", "--graph_transform"}) {
    SCOPED_TRACE(option);
    TempDir dir;
    WriteNet(dir.path());
    const Result r = Scalefinder(dir.path(), kFiles + std::string(" ") + option + " graph_transform");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Net_Refiner: net net written to"), std::string::npos) << r.output;
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"m.prototxt", "m.prototxt_optimized", "net.weights",
                                                             "net.weights_optimized"}));
  }
}

TEST(ScalefinderCli, PerChannelQuantizeOfTheShippedModelWithoutSetUp) {
  TempDir dir;
  fs::copy_file(MODEL_DIR "/fashion_mnist.prototxt", dir / "fm.prototxt");
  fs::copy_file(MODEL_DIR "/fashion_mnist.weights", dir / "fm.weights");
  const Result r = Scalefinder(dir.path(), "--model=fm.prototxt --weights=fm.weights --iterations=2 --per_channel quantize");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("No module named"), std::string::npos) << r.output;
  EXPECT_GT(fs::file_size(dir / "fm.int8qmodel"), 0u);
  EXPECT_TRUE(Exists(dir / "fm_deploy_int8_unique_top.prototxt"));
}

TEST(ScalefinderCli, InstalledProgramFindsTheRewriterInShare) {
  // bin/scalefinder with share/scalefinder/Net_Refiner finds it; a copy of
  // the program alone does not, fails as the rewriter fails, and leaves
  // nothing behind.
  TempDir dir;
  WriteNet(dir / "work");
  fs::create_directories(dir / "prefix/bin");
  fs::create_directories(dir / "prefix/share/scalefinder");
  fs::create_directories(dir / "lonely");
  fs::copy_file(SCALEFINDER_BIN, dir / "prefix/bin/scalefinder");
  fs::copy_file(SCALEFINDER_BIN, dir / "lonely/scalefinder");
  fs::create_directories(dir / "prefix/share/scalefinder/Net_Refiner");
  for (const auto& e : fs::directory_iterator(NET_REFINER_DIR "/Net_Refiner"))
    if (e.path().extension() == ".py")
      fs::copy_file(e.path(), dir / ("prefix/share/scalefinder/Net_Refiner/" + e.path().filename().string()));
  const std::string args = kFiles + std::string(" --per_channel graph_transform");
  Result r = Scalefinder(dir / "work", args, "", dir / "prefix/bin/scalefinder");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(Exists(dir / "work/net.weights_optimized"));
  fs::remove(dir / "work/net.weights_optimized");
  fs::remove(dir / "work/m.prototxt_optimized");
  r = Scalefinder(dir / "work", args, "", dir / "lonely/scalefinder");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("No module named Net_Refiner"), std::string::npos) << r.output;
  EXPECT_EQ(Listing(dir / "work"), (std::vector<std::string>{"m.prototxt", "net.weights"}));
}

TEST(ScalefinderCli, UnreadableInputsAreNamedAsGivenAndLeaveNothing) {
  struct Case {
    const char *what, *files, *message;
  };
  const Case cases[] = {
      {"missing definition", "--model=nope.prototxt --weights=net.weights", "cannot read --model=nope.prototxt: "},
      {"missing weights", "--model=m.prototxt --weights=nope.weights", "cannot read --weights=nope.weights: "},
      {"definition is a directory", "--model=sub --weights=net.weights", "cannot read --model=sub: it is a directory"},
      {"no definition given", "--weights=net.weights", "--model is not given"},
  };
  for (const Case& c : cases) {
    for (const char* options : {"", "--per_channel", "--conv_group"}) {
      SCOPED_TRACE(std::string(c.what) + " " + options);
      TempDir dir;
      WriteNet(dir.path());
      fs::create_directories(dir / "sub");
      const Result r = Scalefinder(dir.path(), std::string(c.files) + " " + options + " quantize");
      EXPECT_NE(r.status, 0) << r.output;
      EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
      EXPECT_EQ(r.output.find("_optimized"), std::string::npos) << r.output;
      EXPECT_EQ(r.output.find("cannot copy"), std::string::npos) << r.output;
      EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"m.prototxt", "net.weights", "sub"}));
    }
  }
}

TEST(ScalefinderCli, RunThatFailsLaterLeavesNoRewrittenFiles) {
  // The rewritten definition holds a type the calibration refuses: the run
  // ends after the rewrite, and its files go with it.
  for (const char* options : {"", "--graph_transform", "--conv_group"}) {
    SCOPED_TRACE(options);
    TempDir dir;
    WriteNet(dir.path());
    std::ofstream(dir / "m.prototxt", std::ios::app) << " layer { name: 'odd' type: 'input' bottom: 'c2' top: 'o' }";
    const Result r = Scalefinder(dir.path(), kFiles + std::string(" ") + options + " quantize");
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Calibration does not support input !"), std::string::npos) << r.output;
    EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"m.prototxt", "net.weights"}));
  }
}

TEST(ScalefinderCli, ConvGroupKeepsTheIntermediateFiles) {
  TempDir dir;
  WriteNet(dir.path());
  const Result r = Scalefinder(dir.path(), kFiles + std::string(" --conv_group graph_transform"));
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(Listing(dir.path()),
            (std::vector<std::string>{"m.prototxt", "m.prototxt_", "m.prototxt_optimized", "net.weights",
                                      "net.weights_", "net.weights_optimized"}));
}

TEST(ScalefinderCli, QuantizeWritesTheModelAndCleansUp) {
  // The outputs are named after the weights; the intermediate files go,
  // except the rewritten weights when the rewriter ran.  The calibration's
  // text dumps land in dist/ and log/, made when missing.
  const std::vector<std::string> outputs = {"net.int8qmodel", "net_deploy_fp32_unique_top.prototxt",
                                            "net_deploy_int8_unique_top.prototxt"};
  const std::vector<std::string> tests = {"net_test_fp32_unique_top.prototxt", "net_test_int8_unique_top.prototxt"};
  struct Case {
    const char* options;
    std::vector<std::vector<std::string>> left;
  };
  for (const Case& c : {Case{"", {outputs}}, Case{"--graph_transform", {outputs, {"net.weights_optimized"}}},
                        Case{"--save_test_proto", {outputs, tests}}, Case{"--save_model=false", {}}}) {
    SCOPED_TRACE(c.options);
    TempDir dir;
    WriteNet(dir.path());
    const Result r = Scalefinder(dir.path(), kFiles + std::string(" ") + c.options + " --iterations=3 quantize");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Running for 3 iterations."), std::string::npos);
    EXPECT_NE(r.output.find("Running for 0 mode."), std::string::npos);
    EXPECT_NE(r.output.find("int8 calibration done."), std::string::npos) << r.output;
    // dist/ and log/ hold the text dumps of the statistics and thresholds.
    std::vector<std::string> expected = {"dist", "log", "m.prototxt", "net.weights"};
    for (const auto& group : c.left) expected.insert(expected.end(), group.begin(), group.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Listing(dir.path()), expected);
  }
}

TEST(ScalefinderCli, QuantizeStatisticsFileDumpAndReload) {
  TempDir dir;
  WriteNet(dir.path());
  Result r = Scalefinder(dir.path(), kFiles + std::string(" --iterations=2 --dump_dist=stats/net.dist quantize"));
  ASSERT_EQ(r.status, 0) << r.output;
  // data, c1, r, c2: four records.
  EXPECT_EQ(fs::file_size(dir / "stats/net.dist"), 4u * 8409120u);
  std::ifstream model(dir / "net.int8qmodel", std::ios::binary);
  const std::string first((std::istreambuf_iterator<char>(model)), std::istreambuf_iterator<char>());

  // Reloaded statistics give the same model without a forward pass.
  fs::remove(dir / "net.int8qmodel");
  r = Scalefinder(dir.path(), kFiles + std::string(" --load_dist=stats/net.dist --dump_dist=ignored quantize"));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("get absolute max iterations"), std::string::npos);
  EXPECT_FALSE(Exists(dir / "ignored"));
  std::ifstream again(dir / "net.int8qmodel", std::ios::binary);
  EXPECT_TRUE(first == std::string((std::istreambuf_iterator<char>(again)), std::istreambuf_iterator<char>()));

  // A file of another net is refused with the sizes.
  fs::resize_file(dir / "stats/net.dist", 3u * 8409120u);
  r = Scalefinder(dir.path(), kFiles + std::string(" --load_dist=stats/net.dist quantize"));
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.output.find("has 25227360 bytes"), std::string::npos) << r.output;
  for (const std::string& name : Listing(dir.path()))
    EXPECT_EQ(name.find("_optimized"), std::string::npos) << "left by the failed run: " << name;
}

TEST(ScalefinderCli, PathsWithShellCharactersStayWords) {
  TempDir dir;
  const std::string odd = dir / "my dir;touch injected";
  WriteNet(odd);
  const Result r = Scalefinder(dir.path(), "'--model=" + odd + "/m.prototxt' '--weights=" + odd +
                                               "/net.weights' --accuracy_opt graph_transform");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_FALSE(Exists(dir / "injected"));
  EXPECT_FALSE(Exists(odd + "/injected"));
  EXPECT_TRUE(Exists(odd + "/net.weights_optimized"));
  EXPECT_TRUE(Exists(odd + "/m.prototxt_optimized"));
  EXPECT_NE(r.output.find("--proto_fp32 '" + odd + "/m.prototxt'"), std::string::npos) << r.output;
}

}  // namespace
