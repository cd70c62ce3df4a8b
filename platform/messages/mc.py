#!/usr/bin/env python3
# mc.py - the message compiler: .mc source to a C++ header and a message module.
#
# Reads the Windows message-compiler source format (MessageIdTypedef,
# SeverityNames, FacilityNames, LanguageNames, then messages of MessageId=,
# Severity=, Facility=, SymbolicName= and one Language= text block each, ended
# by a line holding a single "."). Every text line is stored with "\r\n"
# behind it, as the Windows compiler stores it. Ids are built the Windows way:
# severity << 30 | customer bit << 29 | facility << 16 | code.
#
# Module layout (little-endian), read by platform/messages/messages.cpp:
#   "VNMSGTB1"  8 bytes magic
#   u32         entry count
#   entries     count x {u32 id, u32 language, u32 offset, u32 byte length},
#               sorted by id then language; offset counts from the file start
#   texts       UTF-16LE, no terminator
#
# Usage: mc.py --header OUT.h --module OUT.msg IN.mc
import argparse
import re
import struct
import sys


class McError(Exception):
    pass


def parse_number(text, where):
    try:
        return int(text.strip(), 0)
    except ValueError:
        raise McError(f"{where}: not a number: {text.strip()!r}")


def parse_names(value, lines, index, where):
    # A "(Name=value:Symbol ...)" list that may span lines.
    while ")" not in value:
        if index >= len(lines):
            raise McError(f"{where}: unterminated name list")
        value += " " + lines[index][1]
        index += 1
    body = value[value.index("(") + 1:value.index(")")]
    names = {}
    for item in body.split():
        m = re.fullmatch(r"(\w+)=(\w+)(?::(\w+))?", item)
        if not m:
            raise McError(f"{where}: bad name entry {item!r}")
        names[m.group(1).lower()] = (parse_number(m.group(2), where), m.group(3))
    return names, index


def compile_mc(source, path):
    lines = list(enumerate(source.splitlines(), 1))
    severities = {"success": (0, None), "informational": (1, None), "warning": (2, None), "error": (3, None)}
    facilities = {"system": (0x0FF, None), "application": (0xFFF, None)}
    languages = {"english": (0x409, "MSG00001")}
    typedef = ""
    header_lines = []
    messages = []  # (symbol, id, {language: text})
    current = None
    last_code = -1
    severity = 0
    facility = 0
    customer = 0  # the customer bit (29) is never set by .mc sources here
    i = 0
    while i < len(lines):
        number, line = lines[i]
        where = f"{path}:{number}"
        i += 1
        stripped = line.strip()
        if stripped.startswith(";"):
            header_lines.append(stripped[1:])
            continue
        if not stripped:
            continue
        m = re.match(r"(\w+)\s*=\s*(.*)$", stripped)
        if not m:
            raise McError(f"{where}: unexpected line {stripped!r}")
        key, value = m.group(1).lower(), m.group(2).strip()
        if key == "messageidtypedef":
            typedef = value
        elif key == "severitynames":
            severities, i = parse_names(value, lines, i, where)
        elif key == "facilitynames":
            facilities, i = parse_names(value, lines, i, where)
        elif key == "languagenames":
            languages, i = parse_names(value, lines, i, where)
        elif key in ("outputbase", "messageidtypedefmacro"):
            pass
        elif key == "messageid":
            if value == "":
                code = last_code + 1
            elif value.startswith("+"):
                code = last_code + parse_number(value[1:], where)
            else:
                code = parse_number(value, where)
            if not 0 <= code <= 0xFFFF:
                raise McError(f"{where}: message id {code} out of range")
            last_code = code
            current = {"code": code, "symbol": None, "texts": {}}
            messages.append(current)
        elif current is None:
            raise McError(f"{where}: {m.group(1)} before the first MessageId")
        elif key == "severity":
            if value.lower() not in severities:
                raise McError(f"{where}: unknown severity {value!r}")
            severity = severities[value.lower()][0]
        elif key == "facility":
            if value.lower() not in facilities:
                raise McError(f"{where}: unknown facility {value!r}")
            facility = facilities[value.lower()][0]
        elif key == "symbolicname":
            current["symbol"] = value
        elif key == "language":
            if value.lower() not in languages:
                raise McError(f"{where}: unknown language {value!r}")
            text = []
            while True:
                if i >= len(lines):
                    raise McError(f"{where}: text not ended by a line with a single '.'")
                _, text_line = lines[i]
                i += 1
                if text_line.rstrip("\r") == ".":
                    break
                text.append(text_line.rstrip("\r") + "\r\n")
            current["texts"][languages[value.lower()][0]] = "".join(text)
        else:
            raise McError(f"{where}: unknown keyword {m.group(1)}")
        if key in ("messageid", "severity", "facility"):
            if current is not None:
                current["id"] = (severity << 30) | (customer << 29) | (facility << 16) | current["code"]
    return typedef, header_lines, messages


def write_header(out, path, typedef, header_lines, messages):
    cast = typedef if typedef else "DWORD"
    text = [f"// Generated from {path} by mc.py; do not edit.", "#pragma once", "",
            '#include "platform/base/types.h"', ""]
    text += header_lines
    for message in messages:
        if message["symbol"]:
            text.append(f"#define {message['symbol']} (({cast})0x{message['id']:08X}L)")
    out.write("\n".join(text) + "\n")


def write_module(out, messages):
    entries = []
    seen = set()
    for message in messages:
        for language, text in message["texts"].items():
            if (message["id"], language) in seen:
                raise McError(f"message 0x{message['id']:08X} defined twice")
            seen.add((message["id"], language))
            entries.append((message["id"], language, text.encode("utf-16-le")))
    entries.sort(key=lambda e: (e[0], e[1]))
    offset = 8 + 4 + 16 * len(entries)
    table = bytearray(b"VNMSGTB1" + struct.pack("<I", len(entries)))
    data = bytearray()
    for msg_id, language, blob in entries:
        table += struct.pack("<IIII", msg_id, language, offset + len(data), len(blob))
        data += blob
    out.write(bytes(table + data))


def main():
    parser = argparse.ArgumentParser(description="Compile a .mc message file.")
    parser.add_argument("--header", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("source")
    args = parser.parse_args()
    try:
        with open(args.source, encoding="utf-8-sig") as f:
            typedef, header_lines, messages = compile_mc(f.read(), args.source)
        with open(args.header, "w", encoding="utf-8", newline="\n") as f:
            write_header(f, args.source.split("/")[-1], typedef, header_lines, messages)
        with open(args.module, "wb") as f:
            write_module(f, messages)
    except (McError, OSError) as error:
        print(f"mc.py: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
