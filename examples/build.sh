#!/bin/sh
# Builds the example programs into Intel HEX files beside their sources, with Debian's gcc-avr
# and avr-libc. The tables are generated first; intermediate files go to a temporary folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/gen_tables.py" "$work/synth_tables.h" "$work/sieve_tables.h"

build() { # name mcu f_cpu
  avr-gcc -mmcu="$2" -DF_CPU="$3" -Os -std=gnu11 -Wall -Wextra -Werror -I"$work" \
    -o "$work/$1.elf" "$here/$1.c"
  avr-objcopy -O ihex -R .eeprom "$work/$1.elf" "$here/$1.hex"
  avr-size "$work/$1.elf"
}

build blink_m8 atmega8 1000000UL
build synth_m328p atmega328p 16000000UL
build primes_m2560 atmega2560 16000000UL
