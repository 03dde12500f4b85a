"""Command line and rewrite of the graph-rewriter stand-in."""

import argparse
import json
import os
import shutil
import sys


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="Net_Refiner")
    parser.add_argument("--name", required=True, help="net name")
    parser.add_argument("--proto_fp32", required=True, help="float net definition (text)")
    parser.add_argument("--model_fp32", required=True, help="float weights (binary)")
    parser.add_argument("--postfix", required=True, help="suffix of the output files")
    parser.add_argument("--notmerge_conv_layer", default="", help="layers not to merge")
    parser.add_argument("--fp32_diff", type=float, default=0.001,
                        help="largest output difference a rewrite may cause")
    parser.add_argument("--merge_conv_scale", action="store_true")
    parser.add_argument("--merge_depwise_scale", action="store_true")
    parser.add_argument("--fuse_preprocess", action="store_true")
    return parser.parse_args(argv)


def has_top_level_name(text):
    """Whether a text net definition sets the top-level field `name`."""
    depth = 0
    i = 0
    n = len(text)
    at_line_start_of_field = True
    while i < n:
        c = text[i]
        if c == "#":
            while i < n and text[i] != "\n":
                i += 1
            continue
        if c in "\"'":
            quote = c
            i += 1
            while i < n and text[i] != quote:
                i += 2 if text[i] == "\\" else 1
            i += 1
            continue
        if c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
        elif depth == 0 and at_line_start_of_field and text.startswith("name", i):
            rest = text[i + 4:].lstrip(" \t")
            if rest.startswith(":"):
                return True
        at_line_start_of_field = c in " \t\r\n;,{}"
        i += 1
    return False


def rewrite_definition(text, name):
    if has_top_level_name(text):
        return text
    return "name: " + json.dumps(name, ensure_ascii=False) + "\n" + text


def main(argv):
    args = parse_args(argv)
    proto_out = args.proto_fp32 + args.postfix
    model_out = args.model_fp32 + args.postfix
    try:
        with open(args.proto_fp32, "r", encoding="utf-8") as f:
            definition = f.read()
        if not os.path.isfile(args.model_fp32):
            raise OSError("no weights file " + args.model_fp32)
        with open(proto_out, "w", encoding="utf-8") as f:
            f.write(rewrite_definition(definition, args.name))
        shutil.copyfile(args.model_fp32, model_out)
    except OSError as e:
        print("Net_Refiner: " + str(e), file=sys.stderr)
        return 1
    options = [o for o, on in (("merge_conv_scale", args.merge_conv_scale),
                               ("merge_depwise_scale", args.merge_depwise_scale),
                               ("fuse_preprocess", args.fuse_preprocess)) if on]
    print("Net_Refiner: net %s written to %s and %s (options: %s; unchanged graph)"
          % (args.name, proto_out, model_out, ", ".join(options) or "none"))
    return 0
