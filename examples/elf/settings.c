/* A small program (built for the ATmega328P, and for the ATmega168 as a file for the wrong chip) whose ELF file carries every memory avr-gcc can fill: flash (code and
   initialised data), EEPROM (EEMEM), fuses (FUSES), the lock byte (LOCKBITS) and the signature.
   It blinks PB5 (the Arduino Uno's LED) as often as the EEPROM's first byte says. */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <avr/signature.h>
#include <util/delay.h>

/* The factory fuse values of the ATmega328P (datasheet, "Fuse Bits": low 0x62, high 0xD9,
   extended 0xFF), with CKDIV8 unprogrammed in the low byte so the chip runs at 8 MHz. */
FUSES = {
    .low = 0xE2,
    .high = 0xD9,
    .extended = 0xFF,
};

/* The boot loader section kept from SPM and LPM in the application section (boot lock bits BLB11
   and BLB12 programmed, datasheet "Boot Loader Support": "Boot Lock Bit1 Protection Modes", mode
   3), as Arduino boards lock their boot loader; LB1 and LB2 stay unprogrammed, so the flash can
   still be read and verified over ISP. */
LOCKBITS = 0xCF;

uint8_t EEMEM blink_count = 3;
uint16_t EEMEM blink_ms[4] = {100, 200, 400, 800};
char EEMEM greeting[] = "pinlet";

/* Initialised data: lands in flash after .text and is copied to RAM at start-up. */
static volatile uint8_t pattern[8] = {1, 2, 4, 8, 16, 32, 64, 128};

int main(void) {
  DDRB |= _BV(DDB5);
  for (;;) {
    const uint8_t count = eeprom_read_byte(&blink_count);
    for (uint8_t i = 0; i < count; ++i) {
      PORTB ^= _BV(PORTB5);
      _delay_ms(100);
    }
    PORTB = pattern[count & 7];
    _delay_ms(1000);
  }
}
