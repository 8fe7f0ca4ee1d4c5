// The FTDI synchronous bit-bang back end on the modelled FT232R with the simulated chip behind it:
// USB round trips per page and per whole-flash write and verify, their time at a full-speed
// device's 1 ms per round trip plus the bit-bang clock's ticks, set against the floor that the SCK
// rate and the chip's programming cycles alone need.
#pragma once
#include <string>

struct TAvrSigType;

bool PrintFtdi(const TAvrSigType& record, const std::string& db_path);
