#!/bin/sh
# Checks the firmware image's memory layout from its ELF file.
# usage: check-layout.sh ELF NM READELF
set -eu
elf=$1 nm=$2 readelf=$3
fail=0
sym() { "$nm" "$elf" | awk -v s="$1" '$3 == s { print "0x" $1 }'; }
expect_sym() {
  got=$(sym "$1")
  if [ "$(printf '%d' "${got:-0}")" -ne "$(printf '%d' "$2")" ]; then
    echo "symbol $1 at ${got:-none}, expected $2"; fail=1
  fi
}
section() { "$readelf" -SW "$elf" | awk -v s="$1" '{ for (i = 1; i < NF; i++) if ($i == s) { print "0x" $(i + 2), "0x" $(i + 4); exit } }'; }
expect_section() {
  set -- "$1" "$2" "$3" $(section "$1")
  if [ $# -lt 5 ]; then echo "section $1 missing"; fail=1; return; fi
  if [ "$(printf '%d' "$4")" -ne "$(printf '%d' "$2")" ]; then echo "section $1 at $4, expected $2"; fail=1; fi
  if [ -n "$3" ] && [ "$(printf '%d' "$5")" -ne "$(printf '%d' "$3")" ]; then echo "section $1 of size $5, expected $3"; fail=1; fi
}

expect_section .vectors 0x0 0x40
expect_section .data 0x02000000 0x1000
expect_section .bss 0x02001000 ""
expect_sym _vectors 0x0
expect_sym _ZL4heap 0x02001000
expect_sym __expt_stack_end 0x02012c80
expect_sym __expt_stack_start 0x02012d80
expect_sym __fiq_stack_start 0x02013180
expect_sym __irq_stack_start 0x02013580
expect_sym __stack_end 0x02013580
expect_sym __stack_start 0x02017580

# The data section's initial values follow the code; the stacks start above
# the zero-initialised data; everything fits in ITCM.
rom_end=$(sym __rom_end)
data_lma=$("$readelf" -lW "$elf" | awk '$2 == "0x000000" || 1' | awk '$1 == "LOAD" && $3 == "0x02000000" { print $4 }')
[ -n "$data_lma" ] && [ "$(printf '%d' "$data_lma")" -eq "$(printf '%d' "$rom_end")" ] ||
  { echo "data loaded at ${data_lma:-?}, code ends at $rom_end"; fail=1; }
[ "$(printf '%d' "$(sym __bss_end)")" -le "$(printf '%d' 0x02012c80)" ] || { echo "zero-initialised data overlaps the stacks"; fail=1; }
[ "$(printf '%d' "$rom_end")" -le "$(printf '%d' 0x7f000)" ] || { echo "code image too large for ITCM"; fail=1; }
if "$readelf" -SW "$elf" | grep -q ' \.text\.slow '; then expect_section .text.slow 0x80000000 ""; fi
# Vector table marker after the seven handler addresses.
"$readelf" -x .vectors "$elf" | grep -q 'efbeadde' || { echo "vector table marker missing"; fail=1; }

[ $fail -eq 0 ] && echo "layout ok: code and rodata end at $rom_end, zero-initialised data ends at $(sym __bss_end)"
exit $fail
