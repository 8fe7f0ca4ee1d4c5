/* Blinks an LED on PB0 of an ATmega8 at 1 Hz; a button on PD2 (to ground) makes it blink fast. */
#include <avr/io.h>
#include <util/delay.h>

int main(void) {
  DDRB |= _BV(PB0);
  PORTD |= _BV(PD2); /* pull-up for the button */
  for (;;) {
    PORTB ^= _BV(PB0);
    if (PIND & _BV(PD2))
      _delay_ms(500);
    else
      _delay_ms(100);
  }
}
