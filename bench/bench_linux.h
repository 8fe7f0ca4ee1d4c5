// The Linux back ends (GPIO lines through the GPIO character device, hardware SPI through spidev)
// on their models with the simulated chip: calls per page and per whole-flash write and verify,
// the time at a stated cost per call, and the floor that the SCK rate and the chip's busy times
// alone allow.
#pragma once
#include <string>

struct TAvrSigType;

// clock_hz: the target's clock, which sets the fastest speed level each back end may use.
bool PrintLinux(const TAvrSigType& record, const std::string& db_path, uint32_t clock_hz = 16000000);
