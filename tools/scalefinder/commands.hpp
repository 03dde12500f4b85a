// scalefinder's commands and the steps of the graph rewrite.
#pragma once

#include <map>
#include <string>

#include "quant_param.hpp"

using BrewFunction = int (*)();
using BrewMap = std::map<std::string, BrewFunction>;

extern BrewMap g_brew_map;
// Suffixes of the intermediate and final rewritten files.
extern std::string g_opt_postfix0;
extern std::string g_opt_postfix1;
extern const char* git_commit_id;

const char* GetCommitId();
// The command registered under name; an unknown name lists the available
// ones and ends the process.
BrewFunction GetBrewFunction(const std::string& name);

int graph_transform();
int quantize();
int release();

// 0 when the step rewrote the net, 1 when it only copied (moved) the files.
int graph_transform_python(std::string model, std::string weight, std::string postfix);
int graph_transform_cplus(std::string model, std::string weight, std::string postfix);

// Forces graph_transform on when an option that needs the rewrite is set.
void force_graph_transform_option();
// The shell command that starts the graph rewriter (quoted where needed).
std::string net_refiner_command(const std::string& model, const std::string& weight,
                                const std::string& postfix);
// The directory that holds the shipped graph rewriter (a Net_Refiner
// package), searched beside the program and in ../share/scalefinder from its
// directory (the installed layout); empty when neither has it.
std::string net_refiner_home(const std::string& program_dir);
// The directory of the running program (empty when unknown).
std::string program_dir();
// Appends the shipped rewriter's directory to PYTHONPATH (after the user's
// entries, so that a rewriter the user points at comes first).
void add_net_refiner_to_python_path();
// The word unchanged when it holds only characters the shell takes
// literally, else single-quoted.
std::string shell_quote(const std::string& word);
// Last path component, as POSIX basename() gives it.
std::string posix_basename(const std::string& path);
QuantParam quant_param_from_flags();
