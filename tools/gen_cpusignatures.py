#!/usr/bin/env python3
"""Generates resources/CpuSignatures.xml, the shipped device database.

Facts come from two places:
  * avr-libc's device headers (Debian package avr-libc), read through the AVR compiler's
    preprocessor (gcc-avr) so that per-part conditionals resolve: signature, flash and EEPROM
    size, page sizes, fuse bit names with their positions and the factory default of each fuse
    byte, and which lock bits exist;
  * tools/cpusignatures_overrides.json, kept by hand: the list of chips to ship (in file order),
    the CPU type each one carries, the vocabularies, and every correction or addition taken from
    the chips' datasheets where avr-libc is wrong or silent. Each correction carries its reason.

The XML is written as UTF-16 LE with a byte-order mark, which is the only encoding the loader
reads. Output is deterministic so that the checked-in file can be compared byte for byte.

Usage:
  gen_cpusignatures.py            write resources/CpuSignatures.xml
  gen_cpusignatures.py --check    regenerate in memory; exit 1 if the checked-in file differs
  gen_cpusignatures.py --diff     list every fact where the overrides replace avr-libc's value
  gen_cpusignatures.py --out F    write to F instead
"""

import argparse
import ast
import json
import os
import re
import subprocess
import sys
from xml.sax.saxutils import escape, quoteattr

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_OUT = os.path.join(ROOT, "resources", "CpuSignatures.xml")
DEFAULT_OVERRIDES = os.path.join(HERE, "cpusignatures_overrides.json")

BYTES = ("low", "high", "ext")
SECTION = {"low": "FusesLow", "high": "FusesHigh", "ext": "FusesExt"}


class GenError(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# avr-libc


def preprocess(mcu, compiler, define=None):
    """Macro definitions of avr/io.h for one part, in definition order. Parts whose header exists
    but that the compiler has no -mmcu name for are read with an architecture name (avr5) and the
    header's device macro (__AVR_ATmega168PB__) defined by hand."""
    cmd = [compiler, "-E", "-dD", "-mmcu=" + mcu, "-include", "avr/io.h", "-x", "c", os.devnull]
    if define:
        cmd[3:3] = ["-D" + define]
    try:
        res = subprocess.run(cmd, capture_output=True, text=True, check=False)
    except FileNotFoundError as exc:
        raise GenError("cannot run %s: %s" % (compiler, exc)) from exc
    if res.returncode != 0:
        raise GenError("%s failed for -mmcu=%s:\n%s" % (compiler, mcu, res.stderr))
    defs = []
    for line in res.stdout.splitlines():
        m = re.match(r"#define\s+(\w+)(\([^)]*\))?\s*(.*)$", line)
        if m and not m.group(2):
            defs.append((m.group(1), m.group(3).strip()))
    return defs


_BV = re.compile(r"^\(?\s*(?:\(unsigned char\)\s*)?~\s*_BV\(\s*(\d+)\s*\)\s*\)?$")


def _eval_int(expr, names, mask=0xFF):
    """Evaluates a macro value: sizes such as (1024 - 1), or fuse defaults such as
    (FUSE_CKSEL0 & FUSE_SUT0), where every name stands for its byte value."""
    expr = expr.replace("(unsigned char)", "")
    expr = re.sub(r"_BV\(\s*(\d+)\s*\)", r"(1 << \1)", expr)
    expr = re.sub(r"\b(0[xX][0-9A-Fa-f]+|\d+)[UuLl]+\b", r"\1", expr)
    binops = {ast.BitAnd: lambda a, b: a & b, ast.BitOr: lambda a, b: a | b,
              ast.LShift: lambda a, b: a << b, ast.RShift: lambda a, b: a >> b,
              ast.Add: lambda a, b: a + b, ast.Sub: lambda a, b: a - b,
              ast.Mult: lambda a, b: a * b}

    def node_value(node):
        if isinstance(node, ast.Expression):
            return node_value(node.body)
        if isinstance(node, ast.Constant) and isinstance(node.value, int):
            return node.value
        if isinstance(node, ast.Name):
            if node.id not in names:
                raise GenError("unknown name %s in %r" % (node.id, expr))
            return names[node.id]
        if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Invert):
            return ~node_value(node.operand) & mask
        if isinstance(node, ast.BinOp) and type(node.op) in binops:
            return binops[type(node.op)](node_value(node.left), node_value(node.right)) & mask
        raise GenError("cannot evaluate %r" % expr)

    return node_value(ast.parse(expr, mode="eval"))


def _num(text):
    return _eval_int(text, {}, mask=0xFFFFFFFF)


def libc_facts(mcu, compiler, define=None):
    """What avr-libc says about one part."""
    defs = preprocess(mcu, compiler, define)
    d = dict(defs)
    facts = {"mcu": mcu}
    try:
        facts["sig"] = [_num(d["SIGNATURE_0"]), _num(d["SIGNATURE_1"]), _num(d["SIGNATURE_2"])]
    except KeyError:
        facts["sig"] = None
    facts["flash"] = _num(d["FLASHEND"]) + 1 if "FLASHEND" in d else None
    facts["eeprom"] = _num(d["E2END"]) + 1 if "E2END" in d else None
    if facts["eeprom"] == 1:  # E2END 0 stands for "no EEPROM"
        facts["eeprom"] = 0
    facts["flash_page"] = _num(d["SPM_PAGESIZE"]) if "SPM_PAGESIZE" in d else None
    e2p = _num(d["E2PAGESIZE"]) if "E2PAGESIZE" in d else 0
    facts["eeprom_page"] = e2p if e2p > 0 else None

    # Fuse bits: avr-libc defines the bits of a byte, then that byte's default; the order of the
    # definitions is therefore what assigns a bit to its byte.
    fuses = {b: [] for b in BYTES}
    defaults = {}
    bitvalues = {}
    idx = 0
    started = False
    for name, value in defs:
        if name == "FUSE_MEMORY_SIZE":
            started = True
            continue
        if not started:
            continue
        if name in ("LFUSE_DEFAULT", "FUSE_DEFAULT", "HFUSE_DEFAULT", "EFUSE_DEFAULT"):
            which = {"LFUSE_DEFAULT": 0, "FUSE_DEFAULT": 0, "HFUSE_DEFAULT": 1,
                     "EFUSE_DEFAULT": 2}[name]
            defaults[BYTES[which]] = _eval_int(value, bitvalues)
            idx = which + 1
            continue
        m = _BV.match(value)
        if name.startswith("FUSE_") and m:
            if idx > 2:
                raise GenError("%s: fuse bit %s after the extended byte" % (mcu, name))
            bit = int(m.group(1))
            fuses[BYTES[idx]].append((bit, name[5:]))
            bitvalues[name] = ~(1 << bit) & 0xFF
    result = {}
    for b in BYTES:
        if not fuses[b]:
            continue
        dflt = defaults.get(b, 0xFF)
        result[b] = sorted([bit, nm, (dflt >> bit) & 1] for bit, nm in fuses[b])
    facts["fuses"] = result
    if "__BOOT_LOCK_BITS_1_EXIST" in d or "__BOOT_LOCK_BITS_0_EXIST" in d:
        facts["locks"] = "boot"
    elif "__LOCK_BITS_EXIST" in d:
        facts["locks"] = "lb"
    else:
        facts["locks"] = None
    return facts


# ---------------------------------------------------------------------------------------------
# merging


def parse_sig(text):
    parts = [int(x, 16) for x in text.split()]
    if len(parts) == 3:
        parts.append(0)
    if len(parts) != 4:
        raise GenError("bad signature %r" % text)
    return parts


def build_chip(entry, data, compiler, diffs):
    name = entry["name"]
    layouts = data["lock_layouts"]
    libc = libc_facts(entry["mcu"], compiler, entry.get("define")) if entry.get("mcu") else {}
    # Newer avr-libc headers name bits differently from the datasheets (SUT_CKSEL4 for SUT0,
    # SPMEN for SELFPRGEN); the database uses the datasheet names throughout.
    renames = data.get("fuse_renames", {})
    for bits in libc.get("fuses", {}).values():
        for item in bits:
            if item[1] in renames:
                diffs.append("%s: fuse bit name %s -> %s" % (name, item[1], renames[item[1]]))
                item[1] = renames[item[1]]
    chip = {
        "name": name,
        "type": entry["type"],
        "sig": (libc.get("sig") or []) + [0] if libc.get("sig") else None,
        "flash": libc.get("flash"),
        "eeprom": libc.get("eeprom"),
        "flash_page": libc.get("flash_page"),
        "eeprom_page": libc.get("eeprom_page"),
        "locks": [list(x) + [1] for x in layouts[libc["locks"]]] if libc.get("locks") else None,
        "fuses": libc.get("fuses", {}),
        "comment": entry.get("comment", []),
    }

    def replace(key, value, label=None):
        old = chip[key]
        if old != value and libc:
            diffs.append("%s: %s %s -> %s" % (name, label or key, fmt(old), fmt(value)))
        chip[key] = value

    if "sig" in entry:
        replace("sig", parse_sig(entry["sig"]))
    for key in ("flash", "eeprom", "flash_page", "eeprom_page"):
        if key in entry:
            replace(key, entry[key])
    if "locks" in entry:
        layout_ref = entry["locks"]
        replace("locks", [list(x) + [1] for x in layouts[layout_ref]] if isinstance(layout_ref, str) else layout_ref)
    for b in BYTES:
        key = "fuses_" + b
        if key in entry:
            new = entry[key]
            old = chip["fuses"].get(b)
            if old != new and libc:
                diffs.append("%s: %s fuse byte %s -> %s" % (name, b, fmt_bits(old), fmt_bits(new)))
            if new:
                chip["fuses"][b] = new
            else:
                chip["fuses"].pop(b, None)
    for b, value in entry.get("fuse_defaults", {}).items():
        value = int(value, 16)
        bits = chip["fuses"].get(b)
        if bits is None:
            raise GenError("%s: default for missing fuse byte %s" % (name, b))
        old = byte_default(bits)
        for item in bits:
            item[2] = (value >> item[0]) & 1
        if old != value and libc:
            diffs.append("%s: %s fuse default 0x%02X -> 0x%02X" % (name, b, old, value))
    return chip


def fmt(value):
    if isinstance(value, list) and value and all(isinstance(x, int) for x in value):
        return " ".join("%02X" % x for x in value)
    return str(value)


def fmt_bits(bits):
    if not bits:
        return "(none)"
    return ",".join("%s@%d=%d" % (n, b, d) for b, n, d in bits)


def byte_default(bits):
    value = 0xFF
    for bit, _, dflt in bits:
        if not dflt:
            value &= ~(1 << bit)
    return value


def validate(chips, data):
    seen = {}
    lock_names = set(data["locks_enum"])
    fuse_names = set(data["fuses_enum"])
    three_fuse = set(data["types_reading"]["ext"])
    two_fuse = set(data["types_reading"]["high"]) | three_fuse
    for c in chips:
        n = c["name"]
        if not c["sig"] or c["sig"][0] != 0x1E:
            raise GenError("%s: no Atmel signature" % n)
        key = tuple(c["sig"][:3])
        if key in seen:
            raise GenError("%s and %s share the signature %s" % (seen[key], n, fmt(list(key))))
        seen[key] = n
        if c["flash"] is None or c["eeprom"] is None:
            raise GenError("%s: memory sizes missing" % n)
        if c["flash_page"] and c["flash"] % c["flash_page"]:
            raise GenError("%s: flash is not a whole number of pages" % n)
        if c["eeprom_page"] and c["eeprom"] % c["eeprom_page"]:
            raise GenError("%s: EEPROM is not a whole number of pages" % n)
        for bit, name, _ in c["locks"] or []:
            if name not in lock_names:
                raise GenError("%s: lock bit %s has no vocabulary entry" % (n, name))
        for b, bits in c["fuses"].items():
            if len({x[0] for x in bits}) != len(bits):
                raise GenError("%s: fuse byte %s describes a bit twice" % (n, b))
            for bit, name, dflt in bits:
                if name not in fuse_names:
                    raise GenError("%s: fuse bit %s has no vocabulary entry" % (n, name))
                if not 0 <= bit <= 7 or dflt not in (0, 1):
                    raise GenError("%s: bad fuse bit %s" % (n, name))
        # The type decides how many fuse bytes the programmer reads; a described byte that it
        # never reads would be dead data, and a missing one would hide real bits.
        if "ext" in c["fuses"] and c["type"] not in three_fuse:
            raise GenError("%s: %s does not read the extended fuse byte" % (n, c["type"]))
        if "high" in c["fuses"] and c["type"] not in two_fuse:
            raise GenError("%s: %s does not read the high fuse byte" % (n, c["type"]))


# ---------------------------------------------------------------------------------------------
# output


def render(chips, data):
    out = ['<?xml version="1.0" encoding="UTF-16"?>']
    for line in data.get("file_comment", []):
        out.append("<!-- %s -->" % line)
    out.append("<AvrDatabase>")
    for section, key in (("LocksEnum", "locks_enum"), ("FusesEnum", "fuses_enum")):
        out.append("  <%s>" % section)
        out.append("    <Bit>%s</Bit>" % escape(data["unused_bit_text"]))
        for abbrev in sorted(data[key]):
            out.append("    <Bit Name=%s>%s</Bit>" % (quoteattr(abbrev), escape(data[key][abbrev])))
        out.append("  </%s>" % section)
    out.append("  <Signatures>")
    for c in chips:
        s = c["sig"]
        out.append("    <Cpu>")
        for line in c["comment"]:
            if "--" in line:
                raise GenError("%s: a comment cannot hold '--'" % c["name"])
            out.append("      <!-- %s -->" % line)
        out.append("      <CpuName>%s</CpuName>" % escape(c["name"]))
        out.append("      <CpuType>%s</CpuType>" % c["type"])
        out.append('      <Sig byte1="0x%02X" byte2="0x%02X" byte3="0x%02X" byte4="0x%02X"/>'
                   % tuple(s))
        out.append('      <FlashOpt EraseBeforeFlash="1"/>')
        out.append('      <MemSize Flash="%d" EEPROM="%d"/>' % (c["flash"], c["eeprom"]))
        if c["flash_page"]:
            # EEPROM written byte by byte counts as pages of one byte.
            ep = c["eeprom_page"] or 1
            pages_e = c["eeprom"] // ep if c["eeprom"] else 0
            out.append('      <PageSize Flash="%d" EEPROM="%d"/>' % (c["flash_page"], ep))
            out.append('      <PageNo Flash="%d" EEPROM="%d"/>'
                       % (c["flash"] // c["flash_page"], pages_e))
        if c["locks"]:
            out.append("      <LocksLow>")
            for bit, name, dflt in sorted(c["locks"]):
                out.append('        <Bit Bit="%d" Name="%s" Default="%d"/>' % (bit, name, dflt))
            out.append("      </LocksLow>")
        for b in BYTES:
            bits = c["fuses"].get(b)
            if not bits:
                continue
            out.append("      <%s>" % SECTION[b])
            for bit, name, dflt in sorted(bits):
                out.append('        <Bit Bit="%d" Name="%s" Default="%d"/>' % (bit, name, dflt))
            out.append("      </%s>" % SECTION[b])
        out.append("    </Cpu>")
    out.append("  </Signatures>")
    out.append("</AvrDatabase>")
    text = "\r\n".join(out) + "\r\n"
    return b"\xff\xfe" + text.encode("utf-16-le")


def generate(overrides_path, compiler):
    with open(overrides_path, encoding="utf-8") as f:
        data = json.load(f)
    diffs = []
    chips = [build_chip(e, data, compiler, diffs) for e in data["chips"]]
    validate(chips, data)
    return render(chips, data), diffs, chips


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--check", action="store_true",
                    help="compare with the checked-in file instead of writing it")
    ap.add_argument("--diff", action="store_true",
                    help="list where the overrides replace avr-libc's facts")
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--overrides", default=DEFAULT_OVERRIDES)
    ap.add_argument("--cc", default=os.environ.get("AVR_GCC", "avr-gcc"))
    args = ap.parse_args(argv)
    try:
        blob, diffs, chips = generate(args.overrides, args.cc)
    except GenError as exc:
        print("gen_cpusignatures: %s" % exc, file=sys.stderr)
        return 2
    if args.diff:
        for line in diffs:
            print(line)
        return 0
    if args.check:
        try:
            with open(args.out, "rb") as f:
                current = f.read()
        except OSError as exc:
            print("gen_cpusignatures: %s" % exc, file=sys.stderr)
            return 1
        if current != blob:
            print("gen_cpusignatures: %s is out of date; run tools/gen_cpusignatures.py" % args.out,
                  file=sys.stderr)
            return 1
        print("%s is up to date (%d chips)" % (args.out, len(chips)))
        return 0
    with open(args.out, "wb") as f:
        f.write(blob)
    print("wrote %s (%d chips)" % (args.out, len(chips)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
