#!/usr/bin/env python3
"""Turns docs/openapi.yaml into the JSON cabinetd serves: writes it as a file
(for the validator) and as a C++ source that holds it (for the program).

Usage: embed_openapi.py OPENAPI_YAML OUT_JSON OUT_CPP

The YAML is read strictly: keys must be strings (a status code left unquoted
would become a number) without spaces, and values only what JSON has.
"""
import json
import sys

import yaml


def check(node, where="$"):
    if isinstance(node, dict):
        for k, v in node.items():
            if not isinstance(k, str):
                sys.exit(f"{where}: key {k!r} is a {type(k).__name__}, not a string: quote it")
            if " " in k:
                # What a comma in an unquoted text inside { } makes.
                sys.exit(f"{where}: key {k!r} has a space: quote the text before it")
            check(v, f"{where}.{k}")
    elif isinstance(node, list):
        for i, v in enumerate(node):
            check(v, f"{where}[{i}]")
    elif not (node is None or isinstance(node, (str, bool, int, float))):
        sys.exit(f"{where}: {type(node).__name__} is not a JSON value")


def main():
    src, out_json, out_cpp = sys.argv[1:4]
    with open(src, encoding="utf-8") as f:
        doc = yaml.safe_load(f)
    check(doc)
    text = json.dumps(doc, ensure_ascii=False, separators=(",", ":")) + "\n"
    data = text.encode("utf-8")
    with open(out_json, "w", encoding="utf-8") as f:
        f.write(text)
    # Bytes, not a string literal: no length limit, nothing to escape.
    rows = ",\n".join(", ".join(str(b if b < 128 else b - 256) for b in data[i:i + 24]) for i in range(0, len(data), 24))
    with open(out_cpp, "w", encoding="utf-8") as f:
        f.write(f"""// Made by embed_openapi.py from {src.rsplit('/', 1)[-1]}; do not edit.
#include "openapi.h"

namespace cabinetd {{
namespace {{
constexpr char kDocument[] = {{
{rows}}};
}} // namespace

std::string_view openapi_json() {{ return {{kDocument, sizeof kDocument}}; }}

}} // namespace cabinetd
""")


if __name__ == "__main__":
    main()
