// How a port name becomes an opened bus; the controller's own business, not the front ends'.
#pragma once
#include "core/uSpiBus_base.h"

#include <memory>
#include <string>

// Creates and opens the bus of a port name or device path (Speed and hardware check are the
// caller's; why an open failed is the bus's LastErrorText). Returns null when the name is no port,
// with detail saying why; after an open that worked detail may carry a warning (a simulated chip's
// state file that could not be used). database_path is the device database the simulated chips
// come from (empty = the usual places).
// pins is the wiring (hw/uPinMap.h text form; empty = the adapter's default); a wiring the adapter
// cannot have is refused with detail saying why.
std::unique_ptr<TSpiBusBase> CreateBusForPort(const std::string& name, const std::string& pins,
                                              const std::string& database_path, std::string& detail);
