/* A wavetable synthesizer for an ATmega328P at 16 MHz: plays a melody through PWM on OC1A (PB1,
 * low-pass filter and amplifier outside), one of twenty waveforms per phrase, with a simple
 * attack/decay envelope, and names each note on the serial port at 38400 baud. */
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>

#include "synth_tables.h"

#define BAUD_DIVISOR ((F_CPU / 16 / 38400) - 1)

/* A melody step: MIDI note (0 = rest) and length in sixteenths. */
struct step {
  uint8_t note;
  uint8_t sixteenths;
};

static const struct step melody[] PROGMEM = {
    {64, 4}, {62, 4}, {60, 4}, {62, 4}, {64, 4}, {64, 4}, {64, 8}, {62, 4}, {62, 4}, {62, 8},
    {64, 4}, {67, 4}, {67, 8}, {64, 4}, {62, 4}, {60, 4}, {62, 4}, {64, 4}, {64, 4}, {64, 4},
    {64, 4}, {62, 4}, {62, 4}, {64, 4}, {62, 4}, {60, 16}, {0, 8}, {72, 2}, {71, 2}, {69, 2},
    {67, 2}, {65, 2}, {64, 2}, {62, 2}, {60, 2}, {0, 8},
};
#define MELODY_STEPS (sizeof melody / sizeof melody[0])

static const char note_names[12][3] PROGMEM = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};

static volatile uint16_t phase, increment;
static volatile uint8_t volume;           /* 0..255 */
static volatile const int8_t* wave;       /* start of the current waveform in flash */
static volatile uint16_t ticks;           /* sample counter for the sequencer */

ISR(TIMER2_COMPA_vect) {
  phase += increment;
  int8_t sample = (int8_t)pgm_read_byte(wave + (phase >> 6));
  int16_t scaled = ((int16_t)sample * volume) >> 8;
  OCR1A = (uint8_t)(scaled + 128);
  ticks++;
}

static void uart_init(void) {
  UBRR0H = (uint8_t)(BAUD_DIVISOR >> 8);
  UBRR0L = (uint8_t)BAUD_DIVISOR;
  UCSR0B = _BV(TXEN0);
  UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
}

static void uart_putc(char c) {
  while (!(UCSR0A & _BV(UDRE0))) {
  }
  UDR0 = c;
}

static void uart_puts_P(const char* s) {
  char c;
  while ((c = (char)pgm_read_byte(s++)) != 0) uart_putc(c);
}

static void uart_putu(uint8_t v) {
  if (v >= 10) uart_putu(v / 10);
  uart_putc((char)('0' + v % 10));
}

static void wait_ticks(uint16_t n) {
  uint16_t start;
  cli();
  start = ticks;
  sei();
  for (;;) {
    uint16_t now;
    cli();
    now = ticks;
    sei();
    if ((uint16_t)(now - start) >= n) break;
  }
}

/* Plays one note with a short attack and a decay over its length. */
static void play(uint8_t note, uint8_t sixteenths) {
  const uint16_t sixteenth = SAMPLE_RATE / 8; /* 120 beats a minute */
  if (note == 0) {
    volume = 0;
    wait_ticks(sixteenths * sixteenth);
    return;
  }
  increment = pgm_read_word(&note_increment[note]);
  uart_puts_P(note_names[note % 12]);
  uart_putu(note / 12 - 1);
  uart_putc(' ');
  for (uint8_t v = 0; v < 224; v += 32) {
    volume = v;
    wait_ticks(40);
  }
  uint16_t remaining = sixteenths * sixteenth;
  while (remaining > 400) {
    wait_ticks(400);
    remaining -= 400;
    if (volume > 12) volume -= 12;
  }
  wait_ticks(remaining);
  volume = 0;
}

int main(void) {
  DDRB |= _BV(PB1);
  /* Timer1: 8-bit fast PWM on OC1A, no prescaler (62.5 kHz carrier). */
  TCCR1A = _BV(COM1A1) | _BV(WGM10);
  TCCR1B = _BV(WGM12) | _BV(CS10);
  /* Timer2: CTC at the sample rate (16 MHz / 8 / 64). */
  TCCR2A = _BV(WGM21);
  TCCR2B = _BV(CS21);
  OCR2A = (uint8_t)(F_CPU / 8 / SAMPLE_RATE - 1);
  TIMSK2 = _BV(OCIE2A);
  wave = waves;
  uart_init();
  sei();
  uart_puts_P(PSTR("wavetable synth\r\n"));
  for (uint8_t w = 0;; w = (uint8_t)((w + 1) % WAVE_COUNT)) {
    wave = waves + (uint16_t)w * WAVE_LENGTH;
    uart_puts_P(PSTR("\r\nwave "));
    uart_putu(w);
    uart_puts_P(PSTR(": "));
    for (uint8_t i = 0; i < MELODY_STEPS; ++i)
      play(pgm_read_byte(&melody[i].note), pgm_read_byte(&melody[i].sixteenths));
  }
}
