// Colour values 0x00BBGGRR of the status log. Every layer that reports to the user speaks these, so
// they live below all of them.
#pragma once
#include <cstdint>

constexpr uint32_t clLogRed = 0x0000FF;   // errors
constexpr uint32_t clLogGreen = 0x008000; // progress and success
constexpr uint32_t clLogBlue = 0xFF0000;  // results
constexpr uint32_t clLogBlack = 0x000000; // the dump's words
