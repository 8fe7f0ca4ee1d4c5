// How a port name becomes an opened bus; the controller's own business, not the front ends'.
#pragma once
#include "core/uSpiBus_base.h"

#include <memory>
#include <string>

// Creates and opens the bus of a port name or device path (Speed and hardware check are the
// caller's). Returns null when the name is no port; detail then, or after an open that failed,
// tells the user why (empty when nothing more is known). database_path is the device database
// the simulated chips come from (empty = the usual places).
std::unique_ptr<TSpiBusBase> CreateBusForPort(const std::string& name, const std::string& database_path,
                                              std::string& detail);
// Why a bus could not open its port, for the log; "" when it opened or nothing is known.
std::string BusOpenDetail(TSpiBusBase& bus);
