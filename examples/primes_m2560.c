/* A prime oracle for an ATmega2560 at 16 MHz: answers, over the serial port at 38400 baud, whether
 * a number below 1,200,000 is prime, and counts the primes in a range ("a-b"). The answer comes
 * from a bitmap of odd primes kept in flash; the bitmap alone is larger than 64 KiB, so it is read
 * with far addresses, in three parts because one object may not exceed 32 KiB. The percentage of primes in a range uses a table of reciprocals. */
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

#include "sieve_tables.h"

#define BAUD_DIVISOR ((F_CPU / 16 / 38400) - 1)

static void uart_init(void) {
  UBRR0H = (uint8_t)(BAUD_DIVISOR >> 8);
  UBRR0L = (uint8_t)BAUD_DIVISOR;
  UCSR0B = _BV(TXEN0) | _BV(RXEN0);
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
}

static void uart_putc(char c) {
  while (!(UCSR0A & _BV(UDRE0))) {
  }
  UDR0 = c;
}

static char uart_getc(void) {
  while (!(UCSR0A & _BV(RXC0))) {
  }
  return (char)UDR0;
}

static void uart_puts_P(const char* s) {
  char c;
  while ((c = (char)pgm_read_byte(s++)) != 0) uart_putc(c);
}

static void uart_putul(uint32_t v) {
  char digits[10];
  uint8_t n = 0;
  do {
    digits[n++] = (char)('0' + v % 10);
    v /= 10;
  } while (v);
  while (n) uart_putc(digits[--n]);
}

static uint8_t is_prime(uint32_t n) {
  if (n < 2) return 0;
  if (n == 2) return 1;
  if ((n & 1) == 0) return 0;
  uint32_t index = n >> 1; /* odd number 2i+1 sits at bit i */
  uint32_t byte = index >> 3;
  uint32_t base;
  if (byte < SIEVE_PART_BYTES) {
    base = pgm_get_far_address(odd_prime_bits0);
  } else if (byte < 2 * SIEVE_PART_BYTES) {
    base = pgm_get_far_address(odd_prime_bits1);
    byte -= SIEVE_PART_BYTES;
  } else {
    base = pgm_get_far_address(odd_prime_bits2);
    byte -= 2 * SIEVE_PART_BYTES;
  }
  uint8_t bits = pgm_read_byte_far(base + byte);
  return (bits >> (index & 7)) & 1;
}

static uint32_t count_primes(uint32_t from, uint32_t to) {
  uint32_t count = 0;
  for (uint32_t n = from; n <= to; ++n) count += is_prime(n);
  return count;
}

/* count * 100 / total, by multiplying with a 16.16 reciprocal for totals up to 4096. */
static uint16_t percent(uint32_t count, uint32_t total) {
  if (total == 0) return 0;
  if (total <= 4096) return (uint16_t)((count * 100UL * pgm_read_word(&reciprocal[total - 1])) >> 16);
  return (uint16_t)(count * 100UL / total);
}

/* Reads a line like "97" or "1000-2000"; returns 0 for an empty or malformed line. */
static uint8_t read_query(uint32_t* from, uint32_t* to) {
  uint32_t value[2] = {0, 0};
  uint8_t part = 0, digits = 0;
  for (;;) {
    char c = uart_getc();
    uart_putc(c);
    if (c == '\r' || c == '\n') break;
    if (c >= '0' && c <= '9' && value[part] < 100000000UL) {
      value[part] = value[part] * 10 + (uint32_t)(c - '0');
      digits++;
    } else if (c == '-' && part == 0 && digits) {
      part = 1;
    } else {
      digits = 0;
      break;
    }
  }
  uart_puts_P(PSTR("\r\n"));
  if (!digits) return 0;
  *from = value[0];
  *to = part ? value[1] : value[0];
  return *from <= *to && *to < SIEVE_LIMIT;
}

int main(void) {
  uart_init();
  uart_puts_P(PSTR("prime oracle below "));
  uart_putul(SIEVE_LIMIT);
  uart_puts_P(PSTR("\r\n"));
  for (;;) {
    uint32_t from, to;
    uart_puts_P(PSTR("> "));
    if (!read_query(&from, &to)) {
      uart_puts_P(PSTR("enter n or a-b\r\n"));
      continue;
    }
    if (from == to) {
      uart_putul(from);
      uart_puts_P(is_prime(from) ? PSTR(" is prime\r\n") : PSTR(" is not prime\r\n"));
    } else {
      uint32_t count = count_primes(from, to);
      uart_putul(count);
      uart_puts_P(PSTR(" primes ("));
      uart_putul(percent(count, to - from + 1));
      uart_puts_P(PSTR("%)\r\n"));
    }
  }
}
