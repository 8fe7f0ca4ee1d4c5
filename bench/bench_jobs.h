// Whole commands as a user runs them (load a file, write it, verify it), through the controller and
// the real parallel and serial back ends on the port model, timed at a stated cost per port
// operation and set against the floor that the wires and the chip allow.
#pragma once
#include <string>

struct TAvrSigType;

bool PrintJobs(const TAvrSigType& record, const std::string& db_path);
